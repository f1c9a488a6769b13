// The product server's test client: knows the server by its ProgID and the OPC IDL,
// and its window by class name.
//
//   kv_app_test_client read              COM starts the server; status, the first item
//                                        of the flat browse read from the drive; prints
//                                        "<item> = <value> q=<quality>"
//   kv_app_test_client hold MS           connects, advises a shutdown sink and holds the
//                                        server MS ms or until asked to shut down; prints
//                                        "shutdown request: <reason>" when asked
//   kv_app_test_client post MSG [WPARAM] posts a message to the server's main window
//   kv_app_test_client lines             prints the lines of the window's list
//   kv_app_test_client window            prints the main window's title and whether it shows
//   kv_app_test_client save-as TITLE PATH answers the file dialog TITLE with PATH
//   kv_app_test_client dialog TITLE     waits for a top-level window TITLE of another process;
//                                        prints "dialogs: <count>" and "owner: <0|1>"
//   kv_app_test_client ping MS           the main window answers a sent message within MS ms
//   kv_app_test_client cancel TITLE      presses Cancel in the dialog TITLE; waits until it is gone
//   kv_app_test_client start EXE TAIL    runs EXE with the command line "EXE" TAIL exactly
//                                        as given (quotes included) and answers its exit code
//
// Exit code 0 on success; 2 for a bad command line; others name the failing step.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/opc_wine/OpcClientSupport.h"

namespace {

constexpr wchar_t kProgId[] = L"QZ.VIDOV3.1.DA";
constexpr char kWindowClass[] = "REZUDIrurer3";

class ShutdownSink final : public Sink<IOPCShutdown> {
public:
    ShutdownSink() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override
    {
        printf("shutdown request: %ls\n", reason ? reason : L"(null)");
        fflush(stdout);
        SetEvent(event_);
        return S_OK;
    }
    HANDLE event() const { return event_; }

private:
    HANDLE event_;
};

int fail(int code, const char* what, HRESULT hr)
{
    printf("FAILED: %s [0x%08lX]\n", what, static_cast<unsigned long>(hr));
    fflush(stdout);
    return code;
}

HRESULT connect(Com<IOPCServer>& server)
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid());
    return hr;
}

int readFirstItem()
{
    Com<IOPCServer> server;
    HRESULT hr = connect(server);
    if (FAILED(hr))
        return fail(10, "CoCreateInstance by ProgID", hr);
    TaskArray<OPCSERVERSTATUS> status;
    if (FAILED(hr = server->GetStatus(status.put(1))) || !status)
        return fail(11, "GetStatus", hr);
    printf("vendor: %ls, version %u.%u.%u\n", status->szVendorInfo ? status->szVendorInfo : L"", status->wMajorVersion,
           status->wMinorVersion, status->wBuildNumber);

    Com<IOPCBrowseServerAddressSpace> browse;
    Com<IEnumString> ids;
    server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.putVoid());
    if (!browse.p || FAILED(hr = browse->BrowseOPCItemIDs(OPC_FLAT, const_cast<LPWSTR>(L""), VT_EMPTY, 0, ids.put())))
        return fail(12, "BrowseOPCItemIDs flat", hr);
    TaskText first;
    ULONG fetched = 0;
    if (ids->Next(1, first.put(), &fetched) != S_OK || fetched != 1)
        return fail(13, "no item in the address space", E_FAIL);
    const std::wstring item = first.str();

    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    Com<IOPCItemMgt> group;
    if (FAILED(hr = server->AddGroup(L"app test", TRUE, 1000, 1, nullptr, nullptr, 0, &groupHandle, &revised,
                                     IID_IOPCItemMgt, group.putUnknown())))
        return fail(14, "AddGroup", hr);
    OPCITEMDEF def = {};
    def.szItemID = const_cast<LPWSTR>(item.c_str());
    def.bActive = TRUE;
    def.hClient = 1;
    TaskMem<OPCITEMRESULT> results;
    TaskMem<HRESULT> errors;
    if ((hr = group->AddItems(1, &def, results.put(), errors.put())) != S_OK)
        return fail(15, "AddItems", hr);
    Com<IOPCSyncIO> sync;
    TaskArray<OPCITEMSTATE> states;
    group->QueryInterface(IID_IOPCSyncIO, sync.putVoid());
    hr = sync.p ? sync->Read(OPC_DS_DEVICE, 1, &results->hServer, states.put(1), errors.put()) : E_NOINTERFACE;
    if (hr != S_OK)
        return fail(16, "Read from the device", hr);
    VARIANT text;
    VariantInit(&text);
    VariantChangeType(&text, &states->vDataValue, 0, VT_BSTR);
    printf("%ls = %ls q=0x%X\n", item.c_str(), text.vt == VT_BSTR ? text.bstrVal : L"?", states->wQuality);
    fflush(stdout);
    VariantClear(&text);
    const WORD quality = states->wQuality;
    group.reset();
    server->RemoveGroup(groupHandle, TRUE);
    return (quality & 0xC0) == 0xC0 ? 0 : fail(17, "the value's quality is not good", quality);
}

int holdServer(DWORD ms)
{
    ShutdownSink sink;
    Com<IOPCServer> server;
    HRESULT hr = connect(server);
    if (FAILED(hr))
        return fail(10, "CoCreateInstance by ProgID", hr);
    Com<IConnectionPointContainer> container;
    Com<IConnectionPoint> point;
    DWORD cookie = 0;
    server->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    if (!container.p || FAILED(hr = container->FindConnectionPoint(IID_IOPCShutdown, point.put())) ||
        FAILED(hr = point->Advise(&sink, &cookie)))
        return fail(20, "Advise IOPCShutdown", hr);
    printf("holding\n");
    fflush(stdout);
    WaitForSingleObject(sink.event(), ms);
    point->Unadvise(cookie);
    return 0;
}

HWND serverWindow()
{
    return FindWindowA(kWindowClass, nullptr);
}

int printLines()
{
    HWND window = serverWindow();
    HWND list = window ? GetDlgItem(window, 2) : nullptr;
    if (!list)
        return fail(31, "no list box", E_FAIL);
    // Wide: Wine hands list box texts between processes as Unicode only.
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t line[1024] = {};
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length < 0 || length >= static_cast<LRESULT>(sizeof line / sizeof line[0]))
            continue;
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line));
        printf("%ls\n", line);
    }
    return 0;
}

int printWindow()
{
    HWND window = serverWindow();
    if (!window)
        return fail(30, "no server window", E_FAIL);
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    printf("title: %s\nvisible: %d\n", title, IsWindowVisible(window) ? 1 : 0);
    return 0;
}

// Waits for the dialog, types the path into its file name box and presses OK.
int answerFileDialog(const char* title, const char* path)
{
    HWND dialog = nullptr;
    for (int i = 0; i < 150 && !dialog; ++i) {  // a safety net of 30 s
        dialog = FindWindowA(nullptr, title);
        if (!dialog)
            Sleep(200);
    }
    if (!dialog)
        return fail(33, "no file dialog", E_FAIL);
    // The explorer-style dialog's file name combo box, or the old style's edit box.
    HWND name = GetDlgItem(dialog, 0x47c);
    if (!name)
        name = GetDlgItem(dialog, 0x480);
    if (!name)
        return fail(34, "no file name box", E_FAIL);
    SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path));
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return 0;
}

struct TitledWindows {
    const char* title;
    std::vector<HWND> found;
};

BOOL CALLBACK collectTitled(HWND window, LPARAM parameter)
{
    auto* windows = reinterpret_cast<TitledWindows*>(parameter);
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    if (IsWindowVisible(window) && std::string(title) == windows->title)
        windows->found.push_back(window);
    return TRUE;
}

std::vector<HWND> titledWindows(const char* title)
{
    TitledWindows windows{title, {}};
    EnumWindows(collectTitled, reinterpret_cast<LPARAM>(&windows));
    return windows.found;
}

// Waits (a safety net of 30 s) until the number of windows TITLE is or is not zero.
std::vector<HWND> waitTitled(const char* title, bool present)
{
    std::vector<HWND> found = titledWindows(title);
    for (int i = 0; i < 150 && found.empty() == present; ++i) {
        Sleep(200);
        found = titledWindows(title);
    }
    return found;
}

int printDialog(const char* title)
{
    const std::vector<HWND> found = waitTitled(title, true);
    if (found.empty())
        return fail(35, "no dialog", E_FAIL);
    DWORD serverProcess = 0, dialogProcess = 0;
    if (HWND window = serverWindow())
        GetWindowThreadProcessId(window, &serverProcess);
    GetWindowThreadProcessId(found[0], &dialogProcess);
    if (dialogProcess == serverProcess)
        return fail(36, "the dialog belongs to the server's own process", E_FAIL);
    printf("dialogs: %zu\nowner: %d\n", found.size(), GetWindow(found[0], GW_OWNER) ? 1 : 0);
    return 0;
}

int pingWindow(DWORD ms)
{
    HWND window = serverWindow();
    if (!window)
        return fail(30, "no server window", E_FAIL);
    DWORD_PTR answer = 0;
    const DWORD started = GetTickCount();
    if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, ms, &answer))
        return fail(37, "the window did not answer", HRESULT_FROM_WIN32(GetLastError()));
    printf("answered in %lu ms\n", static_cast<unsigned long>(GetTickCount() - started));
    return 0;
}

int cancelDialog(const char* title)
{
    const std::vector<HWND> found = titledWindows(title);
    if (found.empty())
        return fail(35, "no dialog", E_FAIL);
    for (HWND dialog : found)
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return waitTitled(title, false).empty() ? 0 : fail(38, "the dialog stayed", E_FAIL);
}

// Wine's own launcher escapes the quotes of an argument; a user's shell does not.
int startExactly(const char* exe, const char* tail)
{
    std::string commandLine = std::string("\"") + exe + "\" " + tail;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return fail(40, "CreateProcess", HRESULT_FROM_WIN32(GetLastError()));
    CloseHandle(process.hThread);
    DWORD code = 99;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)  // a safety net
        GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    if (mode == "post" && argc >= 3) {
        HWND window = serverWindow();
        if (!window)
            return fail(30, "no server window", E_FAIL);
        const UINT message = static_cast<UINT>(strtoul(argv[2], nullptr, 0));
        const WPARAM wParam = argc >= 4 ? strtoul(argv[3], nullptr, 0) : 0;
        return PostMessageA(window, message, wParam, 0) ? 0 : fail(32, "PostMessage", HRESULT_FROM_WIN32(GetLastError()));
    }
    if (mode == "lines")
        return printLines();
    if (mode == "window")
        return printWindow();
    if (mode == "dialog" && argc >= 3)
        return printDialog(argv[2]);
    if (mode == "ping" && argc >= 3)
        return pingWindow(static_cast<DWORD>(strtoul(argv[2], nullptr, 10)));
    if (mode == "cancel" && argc >= 3)
        return cancelDialog(argv[2]);
    if (mode == "start" && argc >= 4)
        return startExactly(argv[2], argv[3]);
    if (mode == "save-as" && argc >= 4)
        return answerFileDialog(argv[2], argv[3]);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc = 2;
    if (mode == "read")
        rc = readFirstItem();
    else if (mode == "hold" && argc >= 3)
        rc = holdServer(static_cast<DWORD>(strtoul(argv[2], nullptr, 10)));
    CoUninitialize();
    return rc;
}
