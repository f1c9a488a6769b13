// CommsServerProcess under Wine: how the product makes a comms server anew.
//   kv_e2e_comms_handover COMMS_SERVER_EXE   the cases below (the exe registered for the run)
//   kv_e2e_comms_handover -handover PIPE PID a stand-in that misbehaves as KV_FAKE_HANDOVER
//                                            says, its pid in the file KV_FAKE_PIDFILE
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "app/CommsServerProcess.h"
#include "common/TVCmnComPtr.h"
#include "common/TVCmnHandle.h"
#include "commsserver/CommsServerInterface.h"

namespace {

constexpr wchar_t kBehaviour[] = L"KV_FAKE_HANDOVER";
constexpr wchar_t kPidFile[] = L"KV_FAKE_PIDFILE";
constexpr uint32_t kLimitMs = 3000;
constexpr DWORD kEndWaitMs = 10000;

int failures = 0;

void check(bool ok, const char* what, unsigned long detail = 0)
{
    printf("%s: %s (0x%lx)\n", ok ? "ok" : "FAILED", what, detail);
    fflush(stdout);
    if (!ok)
        ++failures;
}

void writeAll(HANDLE pipe, const void* bytes, DWORD size)
{
    DWORD written = 0;
    WriteFile(pipe, bytes, size, &written, nullptr);
}

int fakeHandOver(const wchar_t* pipeName)
{
    wchar_t behaviour[16] = {};
    GetEnvironmentVariableW(kBehaviour, behaviour, 16);
    wchar_t pidFile[MAX_PATH] = {};
    if (GetEnvironmentVariableW(kPidFile, pidFile, MAX_PATH)) {
        if (FILE* file = _wfopen(pidFile, L"w")) {
            fprintf(file, "%lu", GetCurrentProcessId());
            fclose(file);
        }
    }
    if (wcscmp(behaviour, L"exit") == 0)
        return 1;
    TVCmnHandle pipe(CreateFileW(pipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const uint32_t zero = 0;
    const uint32_t promised = 100;
    const uint32_t junkSize = 16;
    const BYTE junk[16] = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'o', 'b', 'j', 'r', 'e', 'f', '!', '!', '!'};
    if (wcscmp(behaviour, L"zero") == 0) {
        writeAll(pipe.get(), &zero, sizeof zero);
    } else if (wcscmp(behaviour, L"short") == 0) {
        writeAll(pipe.get(), &promised, sizeof promised);
        writeAll(pipe.get(), junk, sizeof junk);
        return 1;  // ends with the frame unfinished
    } else if (wcscmp(behaviour, L"junk") == 0) {
        writeAll(pipe.get(), &junkSize, sizeof junkSize);
        writeAll(pipe.get(), junk, sizeof junk);
    }
    // hang, zero and junk stay until they are ended.
    Sleep(INFINITE);
    return 0;
}

bool processEnded(DWORD pid, DWORD waitMs)
{
    const TVCmnHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process || WaitForSingleObject(process.get(), waitMs) == WAIT_OBJECT_0;
}

DWORD fakePid(const std::wstring& pidFile)
{
    unsigned long pid = 0;
    if (FILE* file = _wfopen(pidFile.c_str(), L"r")) {
        if (fscanf(file, "%lu", &pid) != 1)
            pid = 0;
        fclose(file);
    }
    return pid;
}

struct BadStart {
    const wchar_t* behaviour;  // of the stand-in; null: an exe that does not exist
    HRESULT expected;          // S_OK: the unmarshalling's own error
    const char* what;
};

const BadStart kBadStarts[] = {
    {nullptr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "a missing exe answers its file error"},
    {L"exit", CO_E_SERVER_EXEC_FAILURE, "a process that ends without handing over"},
    {L"short", CO_E_SERVER_EXEC_FAILURE, "a process that ends inside its frame"},
    {L"zero", CO_E_SERVER_EXEC_FAILURE, "an empty frame"},
    {L"hang", CO_E_SERVER_START_TIMEOUT, "a process that never hands over is given up at the limit"},
    {L"junk", S_OK, "a frame that is no marshalled interface"},
};

void badStarts(const std::wstring& self, const std::wstring& directory)
{
    const std::wstring pidFile = directory + L"fake-handover.pid";
    SetEnvironmentVariableW(kPidFile, pidFile.c_str());
    for (const BadStart& c : kBadStarts) {
        DeleteFileW(pidFile.c_str());
        SetEnvironmentVariableW(kBehaviour, c.behaviour);
        CommsServerProcess process(c.behaviour ? self : directory + L"no-such-comms-server.exe", kLimitMs);
        ICommsServer* server = reinterpret_cast<ICommsServer*>(&process);  // must be cleared
        const HRESULT hr = process.start(&server);
        const bool expected = c.expected != S_OK ? hr == c.expected
                                                 : FAILED(hr) && hr != CO_E_SERVER_START_TIMEOUT &&
                                                       hr != CO_E_SERVER_EXEC_FAILURE;
        check(expected && !server && process.processId() == 0, c.what, static_cast<unsigned long>(hr));
        if (c.behaviour) {
            const DWORD pid = fakePid(pidFile);
            check(pid != 0 && processEnded(pid, kEndWaitMs), "  and the process is not left running", pid);
        }
    }
    CommsServerProcess process(self, kLimitMs);
    check(process.start(nullptr) == E_POINTER, "no place for the result answers E_POINTER");
    SetEnvironmentVariableW(kBehaviour, nullptr);
}

// What e2e_comms_server_loss does not walk: it kills each comms server before the next
// is made, so a start that must end an earlier one still running (given up as lost while
// it hangs) is seen only here, as is the settings dialog's hand-over.
void realServer(const std::wstring& exe)
{
    DWORD secondPid = 0;
    {
        CommsServerProcess process(exe, kLimitMs * 3);
        TVCmnComPtr<ICommsServer> first, next;
        HRESULT hr = process.start(first.put());
        const DWORD firstPid = process.processId();
        check(hr == S_OK && first && firstPid != 0, "the comms server hands over its interface",
              static_cast<unsigned long>(hr));
        hr = process.start(next.put());
        secondPid = process.processId();
        LONG version = 0;
        check(hr == S_OK && next && secondPid != firstPid && next->GetVersion(&version) == S_OK,
              "a second start makes another process, and it answers", static_cast<unsigned long>(hr));
        check(firstPid != 0 && processEnded(firstPid, kEndWaitMs), "the first process, still running, was ended",
              firstPid);
    }
    check(secondPid != 0 && processEnded(secondPid, kEndWaitMs), "a comms server ends with its last release",
          secondPid);

    DWORD dialogPid = 0;
    {
        CommsServerProcess process(exe, kLimitMs * 3);
        TVCmnComPtr<ICommsSettingsDialog> dialog;
        const HRESULT hr = process.startSettingsDialog(dialog.put());
        dialogPid = process.processId();
        check(hr == S_OK && dialog && dialogPid != 0, "a settings dialog is handed over", static_cast<unsigned long>(hr));
    }
    check(dialogPid != 0 && processEnded(dialogPid, kEndWaitMs), "its process ends with its release", dialogPid);
}

int runServer(const std::wstring& exe, bool add)
{
    std::wstring commandLine = L"\"" + exe + (add ? L"\" /regserver" : L"\" /unregserver");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return -1;
    const TVCmnHandle thread(info.hThread);
    const TVCmnHandle process(info.hProcess);
    WaitForSingleObject(process.get(), kEndWaitMs);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"-handover") == 0)
        return fakeHandOver(argv[2]);
    if (argc != 2) {
        fprintf(stderr, "usage: kv_e2e_comms_handover COMMS_SERVER_EXE\n");
        return 2;
    }
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring selfPath(self);
    const std::wstring directory = selfPath.substr(0, selfPath.find_last_of(L"\\/") + 1);
    const std::wstring exe = argv[1];

    SetEnvironmentVariableW(L"KV_COMMS_SERVER_QUIET", L"1");
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    badStarts(selfPath, directory);
    if (runServer(exe, true) == 0) {
        realServer(exe);
        runServer(exe, false);
    } else {
        check(false, "the comms server registers");
    }
    CoUninitialize();
    printf("%s\n", failures ? "failed" : "passed");
    return failures ? 1 : 0;
}
