// The comms server exe seen from a client process, as the OPC server sees it: COM
// starts kv_comms_server.exe (CLSCTX_LOCAL_SERVER), the client registers a message-only
// window of its own, and replies come back as messages posted to that window: 0x8001
// with the reply kind and status, 0x8002 with 60 when loop updates wait. The simulated
// network (no settings file) answers. Last, the server process must end after the last
// release. Prints each step; on a failure says what and exits 1, ending the server.

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>
#include <set>
#include <string>

#include "commsserver/CommsServerInterface.h"
#include "commsserver/exe/SettingsDialogIds.h"

namespace {

constexpr DWORD kMessageTimeoutMs = 20000;  // a safety net: replies take a few ms
constexpr DWORD kServerEndTimeoutMs = 20000;
constexpr wchar_t kServerExe[] = L"kv_comms_server.exe";
constexpr wchar_t kClientName[] = L"RE ZUD Irurer 3";
constexpr wchar_t kNode[] = L"10.0.1.11";

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

void expectRet(LONG ret, LONG expected, const char* what)
{
    if (ret != expected)
        fail("%s: ret %ld, expected %ld", what, static_cast<long>(ret), static_cast<long>(expected));
}

// The messages the window got, in order; its procedure only records them.
struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::deque<Posted> g_posted;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kCommsNotify || message == kCommsNotify2) {
        g_posted.push_back({message, wParam, lParam});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createWindow()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KvCommsWineClient";
    if (!RegisterClassW(&windowClass))
        fail("RegisterClass: error %lu", GetLastError());
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        windowClass.hInstance, nullptr);
    if (!window)
        fail("CreateWindowEx: error %lu", GetLastError());
    return window;
}

// The next recorded message of this number, pumping the thread's queue until it comes.
Posted waitFor(UINT message, const char* what)
{
    const ULONGLONG deadline = GetTickCount64() + kMessageTimeoutMs;
    for (;;) {
        for (auto it = g_posted.begin(); it != g_posted.end(); ++it) {
            if (it->message == message) {
                const Posted p = *it;
                g_posted.erase(it);
                return p;
            }
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (std::any_of(g_posted.begin(), g_posted.end(), [message](const Posted& p) { return p.message == message; }))
            continue;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            fail("no 0x%04x message for %s within %lu ms", message, what, kMessageTimeoutMs);
        // MWMO_INPUTAVAILABLE: COM's wait during an outgoing call from this apartment
        // may already have seen the reply arrive, and a plain wait then sleeps on.
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

ParameterRecord record(LONG menu, LONG parameter, LONG value = 0, LONG decimalPlaces = 0)
{
    ParameterRecord r{};
    r.menu = menu;
    r.parameter = parameter;
    r.value = value;
    r.decimalPlaces = decimalPlaces;
    return r;
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

// One direct request and its posted reply.
Posted direct(ICommsServer* server, LONG handle, bool write, ParameterRecord r, const char* what)
{
    LONG ret = -1000;
    expectHr(write ? server->WriteParameter(handle, kNode, &r, &ret) : server->ReadParameter(handle, kNode, &r, &ret),
             what);
    expectRet(ret, kStatusOk, what);
    return waitFor(kCommsNotify, what);
}

// ---- The settings dialog, driven from a thread of this process ------------------

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
    const ULONGLONG deadline = GetTickCount64() + kMessageTimeoutMs;
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

// One ShowSettingsDialog call while a thread does what a user would; false (and why)
// when something the user would see is missing.
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

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && wcscmp(argv[1], L"dialog") == 0)
        return runDialogChecks();

    // The OPC server calls from its window's thread, a single-threaded apartment.
    expectHr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    const HWND window = createWindow();
    step("window created");
    const LONGLONG windowHandle = static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(window));

    ICommsServer* server = nullptr;
    const ULONGLONG started = GetTickCount64();
    expectHr(CoCreateInstance(CLSID_CommsServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ICommsServer,
                              reinterpret_cast<void**>(&server)),
             "CoCreateInstance(CommsServer)");
    printf("comms wine client: server started in %llu ms\n", GetTickCount64() - started);
    g_server = openServerProcess();
    if (!g_server)
        fail("no %ls process after CoCreateInstance", kServerExe);

    LONG ret = 0;
    expectHr(server->GetVersion(&ret), "GetVersion");
    expectRet(ret, kCommsServerVersion, "GetVersion");

    // No settings file: the built-in simulated plant.
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring settings = std::wstring(folder) + L"kv-comms-wine-absent\\VUDOvoveRaduzeri.ini";
    LONG protocol = -1;
    expectHr(server->LoadSettingsFile(settings.c_str(), &protocol, &ret), "LoadSettingsFile");
    expectRet(ret, kStatusOk, "LoadSettingsFile");
    expectRet(protocol, kProtocolSimulated, "LoadSettingsFile protocol");
    expectHr(server->ApplySettings(&protocol, &ret), "ApplySettings");
    expectRet(ret, kStatusOk, "ApplySettings");

    LONG directHandle = -1, loopHandle = -1;
    expectHr(server->RegisterClient(kClientDirectIo, windowHandle, kCommsNotify, kClientName, &directHandle),
             "RegisterClient direct");
    expectHr(server->RegisterClient(kClientLoop, windowHandle, kCommsNotify2, kClientName, &loopHandle),
             "RegisterClient loop");
    if (directHandle < 0 || loopHandle < 0)
        fail("RegisterClient handles %ld and %ld", long(directHandle), long(loopHandle));
    step("registered with the window");

    // Read, write, read back: each reply is a posted 0x8001.
    Posted reply = direct(server, directHandle, false, record(1, 21), "ReadParameter #1.21");
    if (reply.wParam != kReplyRead || reply.lParam != kStatusSuccess)
        fail("read reply wParam %llu lParam %lld", (unsigned long long)reply.wParam, (long long)reply.lParam);
    ParameterRecord got{};
    expectHr(server->GetReply(directHandle, &got), "GetReply");
    if (got.menu != 1 || got.parameter != 21 || got.value != 15000 || got.decimalPlaces != 1 || got.floatValue != 1500.0)
        fail("read #1.21: %ld.%ld value %ld dp %ld float %g", long(got.menu), long(got.parameter), long(got.value),
             long(got.decimalPlaces), got.floatValue);
    reply = direct(server, directHandle, true, record(1, 21, 12345, 1), "WriteParameter #1.21");
    if (reply.wParam != kReplyWriteConfirmed || reply.lParam != kStatusSuccess)
        fail("write reply wParam %llu lParam %lld", (unsigned long long)reply.wParam, (long long)reply.lParam);
    step("direct reads and writes answered by posted 0x8001");

    // The loop: 0x8002 with 60, then GetNextUpdate until -101. The written value comes
    // back through the loop, so the write's record crossed the process boundary too.
    // Refusals and statuses are the library's own, tested natively.
    const LONG parameters[][2] = {{1, 21}, {5, 5}, {10, 1}};
    ParameterRecord r{};
    for (ULONGLONG owner = 1; owner <= 3; ++owner) {
        r = record(parameters[owner - 1][0], parameters[owner - 1][1]);
        expectHr(server->AddToLoop(loopHandle, owner, kNode, &r, 200, &ret), "AddToLoop");
        expectRet(ret, kStatusOk, "AddToLoop");
    }
    std::set<ULONGLONG> seen;
    while (seen.size() < 3) {
        const Posted waiting = waitFor(kCommsNotify2, "loop updates");
        if (waiting.wParam != kUpdatesWaiting)
            continue;  // other values mean nothing
        for (;;) {
            ULONGLONG owner = 0;
            BSTR node = nullptr;
            ParameterRecord update{};
            expectHr(server->GetNextUpdate(loopHandle, &owner, &node, &update, &ret), "GetNextUpdate");
            if (ret == kStatusNoMoreUpdates) {
                SysFreeString(node);
                break;
            }
            expectRet(ret, kStatusOk, "GetNextUpdate status");
            if (owner < 1 || owner > 3 || !node || wcscmp(node, kNode) != 0)
                fail("update of owner %llu node %ls", owner, node ? node : L"(null)");
            if (owner == 1 && update.value != 12345)
                fail("loop #1.21 value %ld", long(update.value));
            SysFreeString(node);
            seen.insert(owner);
        }
    }
    step("loop updates announced by 0x8002 wParam 60 and drained until -101");

    // The settings dialog class is served by the same exe; without a path it answers
    // at once, with no window.
    ICommsSettingsDialog* dialog = nullptr;
    expectHr(CoCreateInstance(CLSID_CommsSettingsDialog, nullptr, CLSCTX_LOCAL_SERVER, IID_ICommsSettingsDialog,
                              reinterpret_cast<void**>(&dialog)),
             "CoCreateInstance(CommsSettingsDialog)");
    expectHr(dialog->ShowSettingsDialog(windowHandle, L"", 0, &ret), "ShowSettingsDialog");
    expectRet(ret, kStatusBadArgument, "ShowSettingsDialog without a path");
    dialog->Release();

    expectHr(server->UnregisterClient(directHandle, &ret), "UnregisterClient");
    expectHr(server->UnregisterClient(loopHandle, &ret), "UnregisterClient");
    server->Release();
    if (WaitForSingleObject(g_server, kServerEndTimeoutMs) != WAIT_OBJECT_0)
        fail("the server process did not end within %lu ms of the last release", kServerEndTimeoutMs);
    CloseHandle(g_server);
    g_server = nullptr;
    step("the server ended after the last release");
    DestroyWindow(window);
    CoUninitialize();
    step("done");
    return 0;
}
