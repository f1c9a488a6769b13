// The comms server's settings dialog from a client process: COM starts
// kv_comms_server.exe for the dialog class, a thread does what a user would (OK, a
// refused port, a saved change), and the server must end after the last release. The
// ICommsServer calls cross real proxies in tests/e2e. A failure exits 1.

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>
#include <string>

#include "commsserver/CommsServerInterface.h"
#include "commsserver/exe/SettingsDialogIds.h"

namespace {

constexpr DWORD kWindowTimeoutMs = 20000;  // a safety net: the dialog shows within a second
constexpr DWORD kServerEndTimeoutMs = 20000;
constexpr wchar_t kServerExe[] = L"kv_comms_server.exe";

HANDLE g_server = nullptr;
const ULONGLONG g_start = GetTickCount64();

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* format, ...)
{
    fprintf(stderr, "comms wine client: FAILED: ");
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
    // Wine never collects a dead client's references, so the server would wait forever.
    if (g_server)
        TerminateProcess(g_server, 3);
    ExitProcess(1);
}

void step(const char* text)
{
    printf("comms wine client: [%6llu ms] %s\n", GetTickCount64() - g_start, text);
    fflush(stdout);
}

void expectHr(HRESULT hr, const char* what)
{
    if (hr != S_OK)
        fail("%s answered 0x%08lx", what, static_cast<unsigned long>(hr));
}

HANDLE openServerProcess()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    HANDLE found = nullptr;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, kServerExe) == 0)
            found = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

// Top-level dialogs (class #32770) titled like the settings dialog: the dialog itself
// and any message box it shows.
std::vector<HWND> settingsWindows()
{
    std::vector<HWND> found;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            wchar_t className[16] = {}, title[64] = {};
            GetClassNameW(window, className, 16);
            GetWindowTextW(window, title, 64);
            if (wcscmp(className, L"#32770") == 0 && wcscmp(title, commsexe::kSettingsDialogTitle) == 0 &&
                IsWindowVisible(window))
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Waits for `count` such windows; the one that is not `besides` when besides is given.
HWND waitForWindow(std::size_t count, HWND besides = nullptr)
{
    const ULONGLONG deadline = GetTickCount64() + kWindowTimeoutMs;
    while (GetTickCount64() < deadline) {
        const std::vector<HWND> windows = settingsWindows();
        if (windows.size() == count) {
            for (HWND w : windows) {
                if (w != besides)
                    return w;
            }
        }
        Sleep(20);  // another process's window: nothing to wait on
    }
    return nullptr;
}

void press(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::string fileText(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One ShowSettingsDialog call while a thread does what a user would; `problem` says
// what the user would have missed.
LONG showWhile(ICommsSettingsDialog* dialog, const std::wstring& path, void (*user)(std::string& problem),
               std::string& problem)
{
    std::thread driver([&problem, user] { user(problem); });
    LONG ret = -1000;
    const HRESULT hr = dialog->ShowSettingsDialog(0, path.c_str(), 0, &ret);
    driver.join();
    expectHr(hr, "ShowSettingsDialog");
    return ret;
}

int runDialogChecks()
{
    expectHr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"kv-comms-dialog.ini";
    const std::string original = "; the test plant\r\n[comms]\r\nprotocol = 0\r\n\r\n[node 10.0.1.11]\r\n";
    {
        std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << original;
    }
    ICommsSettingsDialog* dialog = nullptr;
    expectHr(CoCreateInstance(CLSID_CommsSettingsDialog, nullptr, CLSCTX_LOCAL_SERVER, IID_ICommsSettingsDialog,
                              reinterpret_cast<void**>(&dialog)),
             "CoCreateInstance(CommsSettingsDialog)");
    g_server = openServerProcess();
    std::string problem;

    LONG ret = showWhile(dialog, path, [](std::string& problem) {
        if (HWND d = waitForWindow(1))
            press(d, IDOK);
        else
            problem = "no dialog";
    }, problem);
    if (!problem.empty() || ret != kSettingsUnchanged || fileText(path) != original)
        fail("OK without changes: ret %ld, %s", long(ret), problem.c_str());
    step("OK without changes: 0, file untouched");

    ret = showWhile(dialog, path, [](std::string& problem) {
        HWND d = waitForWindow(1);
        if (!d)
            return void(problem = "no dialog");
        SetDlgItemTextW(d, commsexe::kPort, L"70000");
        press(d, IDOK);
        HWND box = waitForWindow(2, d);
        if (!box)
            problem = "no message box for port 70000";
        else
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        if (!waitForWindow(1))
            problem += "; the dialog went away with the message box";
        press(d, IDCANCEL);
    }, problem);
    if (!problem.empty() || ret != kSettingsUnchanged || fileText(path) != original)
        fail("port 70000: ret %ld, %s", long(ret), problem.c_str());
    step("an invalid port is refused with a message box, nothing saved");

    ret = showWhile(dialog, path, [](std::string& problem) {
        HWND d = waitForWindow(1);
        if (!d)
            return void(problem = "no dialog");
        SetDlgItemTextW(d, commsexe::kPort, L"1502");
        SetDlgItemTextW(d, commsexe::kNodes, L"10.0.1.11\r\n10.0.1.12\r\n");
        SendDlgItemMessageW(d, commsexe::kProtocol, CB_SETCURSEL, kProtocolModbusTcp, 0);
        press(d, IDOK);
    }, problem);
    const std::string saved = fileText(path);
    const std::string expected =
        "; the test plant\r\n[comms]\r\nprotocol = 1\r\nport = 1502\r\n\r\n[node 10.0.1.11]\r\n\r\n[node 10.0.1.12]\r\n";
    if (!problem.empty() || ret != kSettingsChanged || saved != expected)
        fail("port 1502, a node, Modbus TCP: ret %ld, %s, file:\n%s", long(ret), problem.c_str(), saved.c_str());
    step("changes saved: 1, only the changed lines rewritten");

    dialog->Release();
    if (g_server && WaitForSingleObject(g_server, kServerEndTimeoutMs) != WAIT_OBJECT_0)
        fail("the server process did not end within %lu ms of the last release", kServerEndTimeoutMs);
    DeleteFileW(path.c_str());
    CoUninitialize();
    step("done");
    return 0;
}

}  // namespace

int wmain()
{
    return runDialogChecks();
}
