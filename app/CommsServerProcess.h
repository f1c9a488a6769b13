// A comms server started by the product itself, to replace one whose process died (and
// a settings dialog, whose class went with it).
//
// Under Wine a killed comms server's class registration stays behind and CoCreateInstance
// answers RPC_S_SERVER_UNAVAILABLE for good, even after a new process registers the
// class. So the product starts the comms server exe beside it with "-handover PIPE PID":
// that process makes one comms server, marshals ICommsServer into the named pipe, and
// lives until its last release or the end of process PID. The interface is reached
// through the new process's own endpoint; no class table is asked. The same path is
// taken on Windows.
//
// One object is used by one thread: the comms event thread's (through
// DriveComms::Settings::recreateServer), or a short-lived one of the window's for
// "Setup comms".
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/TVCmnHandle.h"
#include "commsserver/CommsServerInterface.h"

class CommsServerProcess {
public:
    // Under Wine a start takes about a second.
    static constexpr uint32_t kHandOverLimitMs = 10000;

    // exePath: the comms server exe; handOverLimitMs: how long its start and hand-over
    // may take before it is given up (and ended).
    explicit CommsServerProcess(std::wstring exePath, uint32_t handOverLimitMs = kHandOverLimitMs);
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
    // The same for a settings dialog, for when CoCreateInstance cannot make one after a
    // kill; S_OK sets *dialog.
    HRESULT startSettingsDialog(ICommsSettingsDialog** dialog);

    // The running comms server's process id, 0 when none was started.
    DWORD processId() const { return processId_; }

private:
    HRESULT handOver(const wchar_t* what, REFIID iid, void** object);
    void endProcess();

    const std::wstring exePath_;
    const uint32_t handOverLimitMs_;
    TVCmnHandle process_;  // the last process started
    DWORD processId_ = 0;
};
