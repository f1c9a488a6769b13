// A comms server started by the product itself, to replace one whose process died.
//
// Under Wine a killed comms server's class registration stays behind and CoCreateInstance
// answers RPC_S_SERVER_UNAVAILABLE for good, even after a new process registers the
// class. So the product starts the comms server exe beside it with "-handover PIPE PID":
// that process makes one comms server, marshals ICommsServer into the named pipe, and
// lives until its last release or the end of process PID. The interface is reached
// through the new process's own endpoint; no class table is asked. The same works on
// Windows.
//
// Used from the comms event thread only (DriveComms::Settings::recreateServer).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/TVCmnHandle.h"
#include "commsserver/CommsServerInterface.h"

class CommsServerProcess {
public:
    // exePath: the comms server exe; handOverLimitMs: how long its start and hand-over
    // may take before it is given up (and ended).
    CommsServerProcess(std::wstring exePath, uint32_t handOverLimitMs);
    CommsServerProcess(const CommsServerProcess&) = delete;
    CommsServerProcess& operator=(const CommsServerProcess&) = delete;
    // The process is left to end with its last reference or with this process.
    ~CommsServerProcess() = default;

    // Starts a new comms server process and hands back its ICommsServer. A process
    // started before by this object that still runs is ended first: its interface was
    // given up as lost, and two comms servers must not share the drive network.
    // Answers S_OK; HRESULT_FROM_WIN32 of the failed start; CO_E_SERVER_EXEC_FAILURE when
    // the process ended or wrote a bad frame without handing over;
    // CO_E_SERVER_START_TIMEOUT when the hand-over took longer than the limit; or the
    // unmarshalling's error. *server is set only on S_OK.
    HRESULT start(ICommsServer** server);

    // The running comms server's process id, 0 when none was started.
    DWORD processId() const { return processId_; }

private:
    void endProcess();

    const std::wstring exePath_;
    const uint32_t handOverLimitMs_;
    TVCmnHandle process_;  // the last process started
    DWORD processId_ = 0;
    uint32_t started_ = 0;      // makes each pipe name unique within the process
};
