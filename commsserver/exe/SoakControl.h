// Test-only remote control of the simulated drives, for the soak test, which runs this
// exe under COM and cannot reach its SimulatedNetwork otherwise. Off, and costing one
// check per ApplySettings, unless the environment variable KV_SOAK_CONTROL names a
// directory. Then, in that directory:
//
//   writes.log   gets "S <ms> <pid>" each time a new simulated network starts (its drives
//                hold their initial values again) and "W <ms> <pid> <seq> <node> <menu>
//                <parameter> <value> <decimals>" for every applied write, written before
//                the drive answers, so that the line outlives a killed process.
//   command      is read and deleted every 50 ms; each line is one of
//                  network FAULTS | node ADDRESS FAULTS | dump
//                (FAULTS as the settings file writes them, "none" to clear). The answer
//                goes to "reply": "pid <pid>", then "ok", "W ..." lines for dump (the
//                network's own write log), or "error <why>".
// <ms> is UTC milliseconds since 1970.
#pragma once

namespace comms {
class CommsServer;
}

namespace commsexe {

// After ApplySettings: follows the server's simulated network, if it has one.
void soakControlAttach(comms::CommsServer* server);
// Before the server goes away.
void soakControlDetach(comms::CommsServer* server);

}  // namespace commsexe
