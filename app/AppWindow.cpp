// The main window: the sorted list of diagnostic lines, the status line, the menu and
// the private messages other threads post. Runs on the main thread only.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/AboutBox.h"
#include "app/AppIdentity.h"
#include "app/AppMessageBox.h"
#include "app/AppResources.h"
#include "app/AppShell.h"
#include "app/CommandLine.h"
#include "app/CommsServerProcess.h"
#include "app/WindowText.h"
#include "common/TVCmnString.h"
#include "drivecomms/CommsNotifyTarget.h"
#include "namespace/ValueConversion.h"

namespace {

constexpr int kListReservedLines = 1000;
constexpr int kListReservedBytes = 512;
constexpr int kWindowWidth = 300;
constexpr int kWindowHeight = 100;
constexpr size_t kDialogPathBytes = 512;
constexpr size_t kSavedLineLimit = 576;  // longer lines are not saved

void addLine(AppShell& shell, bool emptyFirst, char* line)
{
    if (emptyFirst)
        SendMessageA(shell.listBox, LB_RESETCONTENT, 0, 0);
    const LRESULT index = SendMessageA(shell.listBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    delete[] line;
    // The list refuses a line only when full or out of memory: the line is dropped.
    if (index >= 0)
        SendMessageA(shell.listBox, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void updateStatus(AppShell& shell)
{
    StatusCounts counts;
    size_t queued = 0;
    bool online = false;
    if (shell.comms) {
        DriveCommsCounters& c = shell.comms->counters();
        counts = {c.idle.exchange(0), c.requests.exchange(0), c.replies.exchange(0),
                  c.other.exchange(0), c.updates.exchange(0), c.records.exchange(0)};
        online = shell.comms->isOnline();
        queued = shell.comms->queuedRequests();
    }
    const std::string text = statusLineText(online, counts, queued);
    SendMessageA(shell.statusBar, SB_SETTEXTA, SB_SIMPLEID, reinterpret_cast<LPARAM>(text.c_str()));
    // Another process cannot read a simple status bar's text; the trace shows it.
    if (text != shell.lastStatus) {
        KV_TRACE(kTraceDebug, kTraceGroupShell, kDiagTraceObjectId, "status: %s", text.c_str());
        shell.lastStatus = text;
    }
}

void check(AppShell& shell, UINT id, bool on)
{
    CheckMenuItem(GetMenu(shell.mainWindow), id, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
}

bool toggleDiagnostic(AppShell& shell, uint16_t diagClass)
{
    const uint16_t flags = shell.diagnostics.flags.load() ^ diagClass;
    shell.diagnostics.flags = flags;
    return (flags & diagClass) != 0;
}

bool confirmShutdown(const char* text)
{
    return appMessageBox(nullptr, text, "WARNING", MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK;
}

void chooseNamespaceFile(AppShell& shell)
{
    char path[kDialogPathBytes] = {};
    lstrcpynA(path, shell.settings.namespaceFile.c_str(), sizeof path);
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = shell.mainWindow;
    dialog.lpstrFilter = "xml file\0*.xml\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = sizeof path;
    dialog.lpstrInitialDir = shell.settings.executableDirectory.c_str();
    dialog.lpstrTitle = "Select name space file";
    if (!GetOpenFileNameA(&dialog))
        return;
    shell.settings.namespaceFile = path;
    saveNamespaceFileName(*shell.store, shell.settings.namespaceFile);
    postDiagnostic(shell.diagnostics, kDiagAlways, "Namespace changed to %s", path);
    postDiagnostic(shell.diagnostics, kDiagAlways, "The new namespace will become active on next start");
}

void chooseDiagnosticsFile(AppShell& shell)
{
    char path[kDialogPathBytes] = {};
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = shell.mainWindow;
    dialog.lpstrFilter = "txt file\0*.txt\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = sizeof path;
    dialog.lpstrDefExt = "txt";
    dialog.lpstrInitialDir = shell.settings.executableDirectory.c_str();
    dialog.lpstrTitle = "Save diagnostics string file";
    if (GetSaveFileNameA(&dialog))
        saveDiagnostics(shell, path);
}

// What the "Setup comms" worker needs, copied so that it holds nothing the window or the
// shutdown destroys: the user may keep the dialog open past the server's end, and the
// process's end then takes the worker with it.
struct SettingsDialogCall {
    HWND window;  // posting to it after it is gone just fails
    std::wstring settingsFile;
    std::wstring commsServerExe;
};

LONG showSettingsDialog(const SettingsDialogCall& call)
{
    TVCmnComPtr<ICommsSettingsDialog> dialog;
    HRESULT hr = CoCreateInstance(CLSID_CommsSettingsDialog, nullptr, CLSCTX_LOCAL_SERVER, IID_ICommsSettingsDialog,
                                  dialog.putVoid());
    // Under Wine a killed comms server takes the dialog's class with it for good: the
    // dialog is then asked of a comms server process of our own, which ends with it.
    if (DriveComms::isServerLost(hr)) {
        CommsServerProcess process(call.commsServerExe);
        hr = process.startSettingsDialog(dialog.put());
        KV_TRACE(kTraceInfo, kTraceGroupShell, kDiagTraceObjectId, "settings dialog handed over [0x%X]",
                 static_cast<unsigned>(hr));
    }
    if (FAILED(hr))
        return hr;
    // No parent: a dialog owned by our window would need this process to answer its
    // owner's messages during the cross-process call, and the caller here pumps none.
    LONG result = 0;
    hr = dialog->ShowSettingsDialog(0, call.settingsFile.c_str(), 0, &result);
    return FAILED(hr) ? hr : result;
}

// A thread of its own in the multi-threaded apartment, so that the window goes on
// pumping (the comms notifications keep coming) while the user edits the settings.
DWORD WINAPI settingsDialogWorker(void* parameter)
{
    const std::unique_ptr<SettingsDialogCall> call(static_cast<SettingsDialogCall*>(parameter));
    LONG result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(result)) {
        result = showSettingsDialog(*call);
        CoUninitialize();
    }
    // The last act: the window joins this thread when the message arrives.
    PostMessageA(call->window, WM_APP_SETTINGS_DIALOG_DONE, static_cast<WPARAM>(static_cast<ULONG>(result)), 0);
    return 0;
}

void showSettingsResult(AppShell& shell, LONG result)
{
    if (result == kSettingsChanged) {
        appMessageBox(shell.mainWindow, "This change will take effect the next time the server is started or taken online",
                      "INFORMATION", MB_OK | MB_ICONINFORMATION);
    } else if (result != kSettingsUnchanged) {
        char text[128];
        std::snprintf(text, sizeof text, "Dialog failed with error code %d, no changes were made to settings",
                      static_cast<int>(result));
        appMessageBox(shell.mainWindow, text, "WARNING", MB_OK | MB_ICONEXCLAMATION);
    }
}

void setupComms(AppShell& shell)
{
    if (shell.settingsDialogWorker)
        return;  // one dialog at a time; the open one answers first
    auto call = std::make_unique<SettingsDialogCall>(SettingsDialogCall{
        shell.mainWindow, TVCmnString::ansiToWide(shell.commsSettingsFile()), shell.commsServerExe()});
    shell.settingsDialogWorker.reset(CreateThread(nullptr, 0, settingsDialogWorker, call.get(), 0, nullptr));
    if (!shell.settingsDialogWorker) {
        showSettingsResult(shell, HRESULT_FROM_WIN32(GetLastError()));
        return;
    }
    call.release();  // the worker owns it
}

void onSettingsDialogDone(AppShell& shell, LONG result)
{
    if (shell.settingsDialogWorker) {
        // Its posting was its last act: the join is at once.
        WaitForSingleObject(shell.settingsDialogWorker.get(), INFINITE);
        shell.settingsDialogWorker.reset();
    }
    KV_TRACE(kTraceInfo, kTraceGroupShell, kDiagTraceObjectId, "settings dialog answered %ld",
             static_cast<long>(result));
    showSettingsResult(shell, result);
}

void showAbout(AppShell& shell)
{
    LONG version = 0;
    // After a loss the comms server in use is the link's new one, not the one made at start.
    const TVCmnComPtr<ICommsServer> server = shell.comms ? shell.comms->server() : shell.commsServer;
    if (server)
        server->GetVersion(&version);
    AboutBox box;
    box.loadStrPair("Supports OPC DA Version", "3.0");
    box.loadStrPair("Supports OPC DA Version", "2.05");
    box.loadStrPair("Supports OPC DA Version", "1.0A");
    box.loadStrPair("QZ Comm Server Version", commsVersionText(version));
    box.twoLineVer();
    box.show(shell.mainWindow);
}

bool onCommand(AppShell& shell, UINT id)
{
    switch (id) {
    case IDM_SET_NAMESPACE: chooseNamespaceFile(shell); return true;
    case IDM_SAVE_DIAGNOSTICS: chooseDiagnosticsFile(shell); return true;
    case IDM_EXIT:
        if (confirmShutdown("This command will shut down the server"))
            PostQuitMessage(0);
        return true;
    case IDM_SETUP_COMMS: setupComms(shell); return true;
    case IDM_COMMS_ERROR_DIAG: check(shell, id, toggleDiagnostic(shell, kDiagCommsError)); return true;
    case IDM_NORMAL_COMMS_DIAG: check(shell, id, toggleDiagnostic(shell, kDiagNormalComms)); return true;
    case IDM_CLEAR_SCREEN:
        SendMessageA(shell.listBox, LB_RESETCONTENT, 0, 0);
        shell.diagnostics.lineCount = 0;
        return true;
    case IDM_FULL_PRECISION:
        setFullPrecisionMode(!fullPrecisionMode());
        check(shell, id, fullPrecisionMode());
        return true;
    case IDM_ONLINE:
        // The mark follows when the comms thread reports the new state.
        if (shell.comms)
            shell.comms->toggleOnline();
        return true;
    case IDM_HELP_CONTENTS: {
        const std::string help = shell.settings.executableDirectory + kHelpFile;
        WinHelpA(shell.mainWindow, help.c_str(), HELP_FINDER, 0);
        return true;
    }
    case IDM_COMMAND_LINE: showCommandLineHelp(shell.instance); return true;
    case IDM_ABOUT: showAbout(shell); return true;
    default: return false;
    }
}

bool onCreate(AppShell& shell, HWND window)
{
    RECT client;
    if (!GetClientRect(window, &client))
        return false;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    shell.statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0,
                                      window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusBarId)),
                                      shell.instance, nullptr);
    SendMessageA(shell.statusBar, SB_SIMPLE, TRUE, 0);
    SendMessageA(shell.statusBar, SB_SETTEXTA, SB_SIMPLEID, reinterpret_cast<LPARAM>(kStatusOffline));
    RECT bar = {};
    GetWindowRect(shell.statusBar, &bar);
    shell.listBox = CreateWindowExA(0, "LISTBOX", nullptr,
                                    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_SORT, 0, 0,
                                    client.right, client.bottom - (bar.bottom - bar.top), window,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListBoxId)), shell.instance, nullptr);
    SendMessageA(shell.listBox, LB_INITSTORAGE, kListReservedLines, kListReservedBytes);
    return true;
}

void onSize(AppShell& shell, int width, int height)
{
    SendMessageA(shell.statusBar, WM_SIZE, 0, MAKELPARAM(width, height));
    RECT bar = {};
    GetWindowRect(shell.statusBar, &bar);
    MoveWindow(shell.listBox, 0, 0, width, height - (bar.bottom - bar.top), TRUE);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    AppShell* shell = appShell();
    if (!shell)
        return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
    case WM_CREATE:
        if (!onCreate(*shell, window))
            PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        onSize(*shell, LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_TIMER:
        updateStatus(*shell);
        return 0;
    case WM_CLOSE:
        if (!shell->embeddedWithoutKeepRunning() && confirmShutdown("Closing this window will shut down the server"))
            PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (onCommand(*shell, LOWORD(wParam)))
            return 0;
        break;
    case WM_APP_COMMS_NOTIFY:
    case WM_APP_COMMS_NOTIFY2:
        if (shell->comms)
            dispatchCommsMessage(*shell->comms, message, wParam, lParam);
        return 0;
    case WM_APP_QUIT:
        PostQuitMessage(0);
        return 0;
    case WM_APP_DIAG:
        addLine(*shell, wParam == 1, reinterpret_cast<char*>(lParam));
        return 0;
    case WM_APP_SETTINGS_DIALOG_DONE:
        onSettingsDialogDone(*shell, static_cast<LONG>(static_cast<ULONG>(wParam)));
        return 0;
    case WM_APP_ONLINE_STATE:
        check(*shell, IDM_ONLINE, shell->comms && shell->comms->isOnline());
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

bool WindowDiagnosticTarget::postLine(bool emptyListFirst, DiagnosticLine line)
{
    if (!PostMessageA(window_, WM_APP_DIAG, emptyListFirst ? 1 : 0, reinterpret_cast<LPARAM>(line.get())))
        return false;
    line.release();  // the window frees it
    return true;
}

bool registerMainWindowClass(HINSTANCE instance)
{
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SERVER));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAIN_MENU);
    wc.lpszClassName = kWindowClassName;
    return RegisterClassA(&wc) != 0;
}

HWND createMainWindow(AppShell& shell)
{
    HWND window = CreateWindowExA(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  kWindowWidth, kWindowHeight, nullptr, nullptr, shell.instance, nullptr);
    if (window)
        SetTimer(window, kStatusTimerId, kStatusTimerMs, nullptr);
    return window;
}

void setInitialMenuState(AppShell& shell)
{
    const uint16_t flags = shell.diagnostics.flags.load();
    check(shell, IDM_COMMS_ERROR_DIAG, flags & kDiagCommsError);
    check(shell, IDM_NORMAL_COMMS_DIAG, flags & kDiagNormalComms);
    check(shell, IDM_FULL_PRECISION, fullPrecisionMode());
    check(shell, IDM_ONLINE, shell.comms && shell.comms->isOnline());
    if (shell.embeddedWithoutKeepRunning()) {
        HMENU menu = GetMenu(shell.mainWindow);
        for (UINT id : {IDM_EXIT, IDM_FULL_PRECISION, IDM_NORMAL_COMMS_DIAG, IDM_SETUP_COMMS, IDM_ONLINE, IDM_SET_NAMESPACE})
            EnableMenuItem(menu, id, MF_BYCOMMAND | MF_GRAYED);
    }
}

void showCommandLineHelp(HINSTANCE instance)
{
    const std::string text = buildHelpText([instance](unsigned id) {
        char buffer[kHelpStringBytes] = {};
        LoadStringA(instance, id, buffer, sizeof buffer);
        return std::string(buffer);
    });
    appMessageBox(nullptr, text.c_str(), kHelpCaption, MB_OK);
}

bool saveDiagnostics(AppShell& shell, const char* path)
{
    // Lines that arrive while the list is written are dropped, not queued.
    const uint16_t flags = shell.diagnostics.flags.exchange(0);
    shell.diagnostics.saving = true;
    const TVCmnHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool saved = bool(file);
    if (!saved) {
        appMessageBox(nullptr, "Could not open file", "FAULT LOG", MB_OK);
    } else {
        const LRESULT count = SendMessageA(shell.listBox, LB_GETCOUNT, 0, 0);
        std::vector<char> line;
        for (LRESULT i = 0; i < count; ++i) {
            const LRESULT length = SendMessageA(shell.listBox, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
            if (length < 0 || static_cast<size_t>(length) >= kSavedLineLimit)
                continue;
            line.assign(static_cast<size_t>(length) + 3, '\0');
            SendMessageA(shell.listBox, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line.data()));
            line[length] = '\r';
            line[length + 1] = '\n';
            DWORD written = 0;
            WriteFile(file.get(), line.data(), static_cast<DWORD>(length + 2), &written, nullptr);
        }
    }
    shell.diagnostics.flags = flags;
    shell.diagnostics.saving = false;
    return saved;
}
