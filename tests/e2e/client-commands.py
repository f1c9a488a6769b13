#!/usr/bin/env python3
"""Every kvopc command against the OPC test server through real COM: output forms,
exit codes and the server's error texts.

usage: client-commands.py PROXY_DLL TEST_SERVER_EXE KVOPC_EXE
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402

PROGID = "Kestrova.OPCTest.DA"
UNKNOWN_TEXT = "The item ID is not defined in the server address space"
KEEPER_ITEM = "Conveyor1.Drive.Current.Motor current"


def main():
    dll, server, exe = sys.argv[1:4]
    t = e2e.Failures("client-commands")
    e2e.wine(["regsvr32", "/s", e2e.winpath(dll)], check=True)
    e2e.wine([server, "/regserver"], check=True)
    try:
        run(t, e2e.Kvopc(exe, PROGID))
    finally:
        e2e.wine([server, "/unregserver"])
        e2e.wine(["regsvr32", "/u", "/s", e2e.winpath(dll)])
    t.finish()


def run(t, kv):
    # Keeps the test server (and what is written to it) alive between kvopc's runs.
    keeper = e2e.Subscription(kv, [KEEPER_ITEM], 1000)
    try:
        if t.check(keeper.wait_for(len, 60), "a second client keeps a subscription"):
            commands(t, kv)
    finally:
        rc, err = keeper.stop()
        t.check(rc == 0 and "data changes in" in err, "Ctrl-C ends subscribe with exit 0 and a summary", f"{rc} {err}")


def commands(t, kv):
    r = kv.run("status")
    t.check(r.returncode == 0, "status answers", r.stderr)
    t.check("state         running" in r.stdout and "Kestrova OPC test server" in r.stdout,
            "status shows state and vendor", r.stdout)

    r = kv.run("browse", "--flat")
    items = [line for line in r.stdout.splitlines() if line]
    t.check(r.returncode == 0 and len(items) > 20, "flat browse lists the plant", r.stdout[-500:])
    r = kv.run("browse", "--flat", "--type", "R4", "--access", "rw")
    writable = [line for line in r.stdout.splitlines() if line]
    t.check(r.returncode == 0 and writable and set(writable) < set(items), "filtered browse is a subset")
    any_writable = set(kv.run("browse", "--flat", "--access", "w").stdout.splitlines())
    read_only = [i for i in items if i not in any_writable]
    if not t.check(writable and read_only, "a writable R4 and a read-only item"):
        return
    w, ro = writable[0], read_only[0]

    r = kv.run("browse", "--from", "Conveyor1")
    t.check(r.returncode == 0 and r.stdout and r.stdout.splitlines()[0].endswith("/"), "tree browse from Conveyor1", r.stdout[:400])
    r = kv.run("browse", "--from", "No.Such.Branch")
    t.check(r.returncode == 1, "browse from an unknown branch: exit 1", f"{r.returncode} {r.stderr}")

    r = kv.run("properties", w)
    t.check(r.returncode == 0 and "R4" in r.stdout and "read/write" in r.stdout, "properties name type and rights",
            r.stdout)

    r = kv.run("read", ro, "No.Such.Item")
    rows = e2e.value_lines(r.stdout)
    t.check(r.returncode == 1, "read with an unknown item: exit 1", str(r.returncode))
    t.check(len(rows) == 1 and rows[0][1] == ro and rows[0][3] == "good" and rows[0][0] is not None,
            "the known item is read with good quality and a timestamp", r.stdout)
    t.check("OPC_E_UNKNOWNITEMID" in r.stderr and UNKNOWN_TEXT in r.stderr,
            "the unknown item is named with the server's text", r.stderr)
    r = kv.run("--lcid", "1031", "read", "No.Such.Item")
    t.check(r.returncode == 1 and "0xC0040007" in r.stderr and UNKNOWN_TEXT not in r.stderr,
            "--lcid 1031 gives the server's German text", r.stderr)
    r = kv.run("--lcid", "4660", "status")
    t.check(r.returncode == 4, "an unsupported locale: exit 4", f"{r.returncode} {r.stderr}")

    kv.write_and_read_back(t, w, "42.5")
    r = kv.run("write", f"{ro}=1")
    t.check(r.returncode == 1 and "OPC_E_BADRIGHTS" in r.stdout + r.stderr, "a read-only item refuses the write",
            r.stdout + r.stderr)

    begun = time.time()
    r = kv.run("subscribe", ro, "--rate", "100", "--seconds", "3")
    rows = e2e.value_lines(r.stdout)
    values = [row[2] for row in rows]
    t.check(r.returncode == 0 and len(set(values)) >= 5, "subscribe sees the value change",
            f"{r.returncode} {r.stdout[-400:]} {r.stderr}")
    t.check(all(row[3] == "good" for row in rows), "every change has good quality")
    stamps = [row[0] for row in rows]
    t.check(all(a <= b for a, b in zip(stamps, stamps[1:])), "timestamps do not go back")
    t.check(all(begun - 5 <= s.timestamp() <= time.time() + 1 for s in stamps), "timestamps are of this run")

    r = kv.run("--v1", "subscribe", ro, "--rate", "100", "--seconds", "2")
    t.check(r.returncode == 0 and len(e2e.value_lines(r.stdout)) >= 3, "V1 subscription delivers changes",
            f"{r.returncode} {r.stdout[-300:]} {r.stderr}")

    r = kv.run("subscribe", "No.Such.Item", "--seconds", "1")
    t.check(r.returncode == 1 and "OPC_E_UNKNOWNITEMID" in r.stderr, "subscribe to nothing known: exit 1",
            f"{r.returncode} {r.stderr}")
    r = e2e.wine([kv.exe, "--server", "No.Such.Server", "status"])
    t.check(r.returncode == 3 and "not registered" in r.stderr, "an unknown server: exit 3", r.stderr)


if __name__ == "__main__":
    main()
