// The one application object of the server exe: its identity, directory, settings and
// modes, window handles, the comms link, the address space and the server entry's
// factory. Created at start-up and destroyed at the very end (AppMain.cpp); the window
// procedure (AppWindow.cpp) reaches it through the process-wide pointer.
//
// Threads: the main thread owns every field except those marked otherwise. The
// diagnostic part is read by every reporting thread (atomics); the client-release
// watcher reads the flags it needs and posts to the window.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "app/Diagnostics.h"
#include "app/Settings.h"
#include "common/TVCmnComPtr.h"
#include "common/TVCmnHandle.h"
#include "commsserver/CommsServerInterface.h"
#include "da/DaNamespaceRoot.h"
#include "da/DaObjectRoot.h"
#include "drivecomms/DriveComms.h"

// Private messages to the main window (the comms and diagnostic ones are declared with
// their senders).
inline constexpr UINT WM_APP_COMMS_NOTIFY = 0x8001;
inline constexpr UINT WM_APP_COMMS_NOTIFY2 = 0x8002;
inline constexpr UINT WM_APP_QUIT = 0x8003;
// The "Setup comms" worker's answer: wParam is the dialog's result (a LONG).
inline constexpr UINT WM_APP_SETTINGS_DIALOG_DONE = 0x8006;

inline constexpr int kStatusBarId = 1;
inline constexpr int kListBoxId = 2;
inline constexpr UINT_PTR kStatusTimerId = 1;
inline constexpr UINT kStatusTimerMs = 1000;
inline constexpr DWORD kClientGoneWaitMs = 10000;
inline constexpr DWORD kClientCheckIntervalMs = 30000;
inline constexpr uint32_t kMinimumUpdateRateMs = 10;
inline constexpr char kHelpFile[] = "\\QZOPCServerV3Help.hlp";

// The shell's own trace lines (start-up and shutdown steps) use the third user group.
inline constexpr uint32_t kTraceGroupShell = kTraceGroupUser3;

struct AppShell {
    HINSTANCE instance = nullptr;
    DWORD mainThreadId = 0;
    HWND mainWindow = nullptr;
    HWND listBox = nullptr;
    HWND statusBar = nullptr;
    std::string lastStatus;  // the status line last shown

    StartupSettings settings;  // directory, namespace file, modes
    bool embedded = false;
    bool confirmations = false;  // "/v"

    AppDiagnostics diagnostics;
    std::unique_ptr<SettingsStore> store;
    std::shared_ptr<AppTraceHandler> traceHandler;

    // The comms server made at start, until the link takes it over; null when it could
    // not be created.
    TVCmnComPtr<ICommsServer> commsServer;
    HRESULT commsServerResult = S_OK;
    std::unique_ptr<DriveComms> comms;
    DaRef<DaObjectRoot> objectRoot;
    DaRef<DaNamespaceRoot> space;
    int32_t namespaceProtocol = -1;

    // Exists only during shutdown; signalled when the last client has gone.
    std::atomic<HANDLE> clientGone{nullptr};
    TVCmnHandle instanceMutex;
    TVCmnHandle watcherStop;
    TVCmnHandle watcher;
    // The "Setup comms" worker while its dialog is open, null otherwise. Main thread only;
    // the worker works on copies and is never waited for at shutdown (see AppWindow.cpp).
    TVCmnHandle settingsDialogWorker;

    bool embeddedWithoutKeepRunning() const { return embedded && !settings.keepRunning; }
    std::string commsSettingsFile() const;
    // The comms server exe beside this one, which a lost comms server is made anew from.
    std::wstring commsServerExe() const;
};

// The process's one AppShell while it exists (the window procedure's way to it).
AppShell* appShell();

// Window (AppWindow.cpp).
bool registerMainWindowClass(HINSTANCE instance);
HWND createMainWindow(AppShell& shell);
void setInitialMenuState(AppShell& shell);
void showCommandLineHelp(HINSTANCE instance);
bool saveDiagnostics(AppShell& shell, const char* path);

// Installation pieces beside the exe (AppRegistration.cpp): the OPC proxy/stub DLL and
// the comms server exe, registered and unregistered with the server.
HRESULT registerInstallation(const std::string& directory, bool add);

// Where diagnostic lines go: posted to the main window's list.
class WindowDiagnosticTarget final : public DiagnosticTarget {
public:
    explicit WindowDiagnosticTarget(HWND window) : window_(window) {}
    bool postLine(bool emptyListFirst, DiagnosticLine line) override;

private:
    const HWND window_;
};
