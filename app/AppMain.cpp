// The server process: start-up in its fixed order, the command line's one-shot actions
// (help, registration), the message loop, and the ordered shutdown.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/AppIdentity.h"
#include "app/AppMessageBox.h"
#include "app/AppShell.h"
#include "app/CommandLine.h"
#include "app/CommsServerProcess.h"
#include "da/DaServer.h"
#include "common/TVCmnException.h"
#include "common/TVCmnString.h"
#include "da/DaGroup.h"
#include "drivecomms/DriveGroup.h"
#include "drivecomms/DriveTag.h"
#include "namespace/NamespaceAppDiagnostics.h"
#include "namespace/NamespaceLoader.h"
#include "namespace/ValueConversion.h"
#include "opc/DaEntry.h"

namespace {

AppShell* g_shell = nullptr;

constexpr char kSingleInstanceText[] = "STOP!   Only ONE instance of this application is permitted.";

void shellTrace(const char* step)
{
    KV_TRACE(kTraceInfo, kTraceGroupShell, kDiagTraceObjectId, "%s", step);
}

// Servers whose transactions end after the drive limit, and which have the entry take
// a client's COM objects down when the engine finds the client dead.
class AppServer final : public DaServer {
public:
    using DaServer::DaServer;

protected:
    void onClientDisconnected() override { DaEntry::instance().requestClientCheck(); }
};

// The entry's factory: drive tags, and groups that revise the comms loop rates. The
// comms link is made after the address space is loaded, so groups (made only once the
// entry runs) take it from the shell when they are made.
class AppCreator final : public DaCreator {
public:
    explicit AppCreator(AppShell& shell) : shell_(shell) {}
    DaRef<DaServer> createServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups) override
    {
        DaRef<DaServer> server(new (std::nothrow) AppServer(root, serverClass, publicGroups));
        if (server)
            server->setTimeouts(DriveCreator::kTransactionLimitMs, DriveCreator::kTransactionLimitMs);
        return server;
    }
    DaRef<DaGroup> createGroup(DaServer* server) override
    {
        return DaRef<DaGroup>(new (std::nothrow) DriveGroup(server, shell_.comms.get(), shell_.diagnostics));
    }
    DaRef<DaTag> createTag() override { return DaRef<DaTag>(new (std::nothrow) DriveTag); }

private:
    AppShell& shell_;  // outlives the factory's use
};

class DebuggerLines final : public TVCmnDebuggerOutput {
public:
    void write(const char* text) override { OutputDebugStringA(text); }
};

std::string executableDirectory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full(path, length < MAX_PATH ? length : 0);
    const size_t slash = full.find_last_of('\\');
    return slash == std::string::npos ? std::string() : full.substr(0, slash);
}

void setUpEntry(AppShell& shell)
{
    DaEntry& entry = DaEntry::instance();
    // COM is already set up for this thread: the entry only records kind and class.
    entry.initialise(kDaServerKindExecutable, kServerClsid, shell.instance, COINIT_MULTITHREADED);
    DaEntryIdentity identity;
    identity.progId = kServerProgId;
    identity.versionIndependentProgId = kServerVersionIndependentProgId;
    identity.description = kServerDescription;
    identity.vendor = kServerVendor;
    identity.majorVersion = kServerVersionMajor;
    identity.minorVersion = kServerVersionMinor;
    identity.buildNumber = kServerVersionBuild;
    entry.setIdentity(identity);
    entry.setCheckIntervalMs(kClientCheckIntervalMs);

    DaRef<DaCreator> creator(new AppCreator(shell));
    shell.objectRoot = creator->createObjectRoot();
    shell.space = creator->createNameSpaceRoot();
    if (shell.objectRoot && shell.space) {
        shell.objectRoot->setNamespaceRoot(0, shell.space.get());
        shell.objectRoot->setMinimumUpdateRateMs(kMinimumUpdateRateMs);
    }
    entry.setObjectRoot(shell.objectRoot.get());
}

// The comms link, once the comms server, the window and the namespace's protocol are
// known.
void setUpComms(AppShell& shell)
{
    if (!shell.commsServer)
        return;
    DriveComms::Settings settings;
    settings.settingsFile = TVCmnString::ansiToWide(shell.commsSettingsFile());
    settings.namespaceProtocol = shell.namespaceProtocol;
    settings.mainWindow = shell.mainWindow;
    // A comms server whose process died is made again from the comms event thread, by
    // starting the comms server exe beside this one and taking the interface it hands
    // over (CoCreateInstance cannot replace a killed local server under Wine). The
    // process's apartment is multi-threaded, so that thread joins it for the call only.
    auto process = std::make_shared<CommsServerProcess>(shell.commsServerExe());
    settings.recreateServer = [process](ICommsServer** server) {
        const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        const HRESULT hr = process->start(server);
        if (SUCCEEDED(joined))
            CoUninitialize();
        KV_TRACE(kTraceInfo, kTraceGroupShell, kDiagTraceObjectId, "comms server made anew [0x%X]",
                 static_cast<unsigned>(hr));
        return hr;
    };
    shell.comms = std::make_unique<DriveComms>(shell.commsServer.get(), shell.diagnostics, std::move(settings));
    shell.comms->setNamespaceRoot(shell.space.get());
    // The link holds the comms server from here, and replaces it when it dies. A second
    // reference kept here would outlive that server: under Wine a proxy held to a dead
    // process keeps a pipe and an event for good.
    shell.commsServer.reset();
}

// Registration, unregistration and help: what the command line asks for. True when the
// process is to end.
bool parseCommandLine(AppShell& shell, const char* commandLine)
{
    const CommandLineOptions options = parseCommandText(commandLine ? commandLine : "");
    if (!options.switchesTaken)
        return false;
    applyCommandLine(shell.settings, options);
    shell.diagnostics.flags = shell.settings.diagnosticFlags;
    if (options.showHelp)
        showCommandLineHelp(shell.instance);
    shell.confirmations = options.confirm;
    DaEntry& entry = DaEntry::instance();
    if (options.registerServer) {
        HRESULT hr = entry.registerServer();
        HRESULT installation = registerInstallation(shell.settings.executableDirectory, true);
        KV_TRACE(kTraceInfo, kTraceGroupShell, kDiagTraceObjectId, "registered [0x%X], installation [0x%X]",
                 static_cast<unsigned>(hr), static_cast<unsigned>(installation));
        storeRegistrationSettings(*shell.store, options);
        if (options.confirm) {
            char text[kFileNameBufferBytes + 128];
            if (!options.namespaceFileToStore.empty())
                std::snprintf(text, sizeof text, "QZ OPC Server registered with namespace file \n%s\nand flags %x",
                              options.namespaceFileToStore.c_str(), options.settingsBits);
            else
                std::snprintf(text, sizeof text,
                              "QZ OPC Server registered without namespace file\nwill use initially use "
                              "appdefault.xml if present.\nSetting flags are %x",
                              options.settingsBits);
            appMessageBox(nullptr, text, "REGISTRATION", MB_OK);
        }
    }
    if (options.unregisterServer) {
        HRESULT installation = registerInstallation(shell.settings.executableDirectory, false);
        HRESULT hr = entry.unregisterServer();
        KV_TRACE(kTraceInfo, kTraceGroupShell, kDiagTraceObjectId, "unregistered [0x%X], installation [0x%X]",
                 static_cast<unsigned>(hr), static_cast<unsigned>(installation));
        if (options.confirm)
            appMessageBox(nullptr, "QZ OPC Server unregistered", "REGISTRATION", MB_OK);
    } else if (options.embedded) {
        shell.embedded = true;
    }
    return options.endsProcess();
}

bool loadNamespaceOrStop(AppShell& shell)
{
    NamespaceAppDiagnostics diagnostics(shell.diagnostics);
    if (shell.space &&
        loadNamespaceFile(shell.settings.namespaceFile, *shell.space, diagnostics, shell.namespaceProtocol))
        return true;
    appMessageBox(shell.mainWindow, "Cannot load namespace file - Unable to start", "START ERROR",
                  MB_OK | MB_ICONSTOP);
    return false;
}

// The client-release hook: the entry signals when its last client has gone. During
// shutdown that ends the wait for the clients; a server that COM started for its
// clients then ends; one that keeps running takes new clients again.
DWORD WINAPI watchClientRelease(void* context)
{
    auto& shell = *static_cast<AppShell*>(context);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DaEntry& entry = DaEntry::instance();
    for (;;) {
        HANDLE waits[] = {shell.watcherStop.get(), entry.lastReleaseEvent()};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        if (HANDLE gone = shell.clientGone.load())
            SetEvent(gone);
        if (shell.embeddedWithoutKeepRunning()) {
            shellTrace("last client gone");
            // Without a window (no display driver) the main thread gets the message itself.
            if (shell.mainWindow)
                PostMessageA(shell.mainWindow, WM_APP_QUIT, 0, 0);
            else
                PostThreadMessageA(shell.mainThreadId, WM_APP_QUIT, 0, 0);
            break;
        }
        // The last release suspended the class objects; this server stays for more.
        ResetEvent(entry.lastReleaseEvent());
        CoResumeClassObjects();
    }
    CoUninitialize();
    return 0;
}

void startWatcher(AppShell& shell)
{
    shell.watcherStop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    shell.watcher.reset(CreateThread(nullptr, 0, watchClientRelease, &shell, 0, nullptr));
}

void stopWatcher(AppShell& shell)
{
    if (shell.watcher) {
        SetEvent(shell.watcherStop.get());
        WaitForSingleObject(shell.watcher.get(), INFINITE);
        shell.watcher.reset();
    }
    shell.watcherStop.reset();
}

bool startComms(AppShell& shell)
{
    if (shell.comms && !shell.comms->startComms())
        return false;
    startWatcher(shell);
    return DaEntry::instance().start();
}

bool anyClientConnected(AppShell& shell)
{
    if (!shell.objectRoot)
        return false;
    std::vector<DaRef<DaServer>> servers;
    shell.objectRoot->getServers(servers);
    return !servers.empty();
}

void shutdown(AppShell& shell)
{
    const TVCmnHandle gone(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!gone)
        tvCmnThrowOutOfMemory();
    shell.clientGone = gone.get();
    if (anyClientConnected(shell)) {
        shellTrace("shutdown: asking the clients to shut down");
        DaEntry::instance().shutdownClients(DaEntry::kShutdownReason);
        if (WaitForSingleObject(gone.get(), kClientGoneWaitMs) != WAIT_OBJECT_0)
            shellTrace("shutdown: a client did not leave in time");
    }
    shell.clientGone = nullptr;
    shellTrace("shutdown: stopping the server entry");
    DaEntry::instance().stop();
    stopWatcher(shell);
    shellTrace("shutdown: stopping the comms threads");
    if (shell.comms)
        shell.comms->stopComms();
}

void emptyAddressSpace(AppShell& shell)
{
    shellTrace("shutdown: emptying the address space and object tree");
    if (shell.space)
        shell.space->removeAllChildren();
    if (shell.objectRoot)
        shell.objectRoot->shutdown();
}

// The clean-up every end goes through after the window exists.
void cleanUp(AppShell& shell)
{
    DaEntry& entry = DaEntry::instance();
    if (shell.objectRoot)
        shell.objectRoot->shutdown();
    entry.setObjectRoot(nullptr);
    TVCmnTrace::process().setTraceHandler(nullptr);
    shell.comms.reset();
    shellTrace("shutdown: releasing the comms server");
    shell.commsServer.reset();
    if (shell.mainWindow) {
        DestroyWindow(shell.mainWindow);
        shell.mainWindow = nullptr;
    }
    shell.diagnostics.target = nullptr;
}

int run(AppShell& shell, HINSTANCE instance, const char* commandLine)
{
    // 5: who and where this process is.
    shell.instance = instance;
    shell.mainThreadId = GetCurrentThreadId();
    shell.settings.executableDirectory = executableDirectory();
    shell.store = makeRegistrySettingsStore();

    // 6: trace handler and settings; the comms server.
    TVCmnTrace& trace = TVCmnTrace::process();
    shell.traceHandler = std::make_shared<AppTraceHandler>(trace, *shell.store);
    trace.setTraceHandler(shell.traceHandler);
    trace.applyStartupSettings(readTraceSettings(*shell.store));
    shellTrace("server starting");
    shell.commsServerResult = CoCreateInstance(CLSID_CommsServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ICommsServer,
                                               shell.commsServer.putVoid());

    // 7: the window, hidden until the server runs.
    registerMainWindowClass(instance);
    shell.mainWindow = createMainWindow(shell);
    if (!shell.mainWindow)
        KV_TRACE(kTraceError, kTraceGroupShell, kDiagTraceObjectId, "the main window could not be created [%lu]",
                 static_cast<unsigned long>(GetLastError()));
    WindowDiagnosticTarget target(shell.mainWindow);
    if (shell.mainWindow)
        shell.diagnostics.target = &target;
    if (FAILED(shell.commsServerResult))
        postDiagnostic(shell.diagnostics, kDiagAlways, "Cannot create the comms server [0x%X]",
                       static_cast<unsigned>(shell.commsServerResult));

    // 8: the server entry.
    setUpEntry(shell);

    // 9: the command line's one-shot actions end the process here.
    if (commandLine && *commandLine && parseCommandLine(shell, commandLine)) {
        cleanUp(shell);
        return 0;
    }

    // 10, 11: settings and the menu that shows them.
    DebuggerLines debuggerLines;
    readSettings(shell.settings, *shell.store, debuggerLines);
    shell.diagnostics.flags = shell.settings.diagnosticFlags;
    setFullPrecisionMode(shell.settings.fullPrecision);
    setInitialMenuState(shell);

    // 12: the address space.
    if (!loadNamespaceOrStop(shell)) {
        cleanUp(shell);
        return 0;
    }

    // 13: comms and the entry.
    setUpComms(shell);
    if (!startComms(shell)) {
        shellTrace("the comms threads or the class factory could not be started");
        stopWatcher(shell);
        if (shell.comms)
            shell.comms->stopComms();
        DaEntry::instance().stop();
        emptyAddressSpace(shell);
        cleanUp(shell);
        return 0;
    }
    shellTrace("server running");

    // 14, 15: show the window and run.
    ShowWindow(shell.mainWindow, shell.embedded && !shell.settings.noMinimise ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
    UpdateWindow(shell.mainWindow);
    MSG msg;
    int exitCode = 0;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            exitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got < 0)
            break;
        if (!msg.hwnd && msg.message == WM_APP_QUIT) {
            PostQuitMessage(0);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    // 16: the ordered shutdown.
    shellTrace("shutdown: message loop ended");
    shutdown(shell);
    emptyAddressSpace(shell);
    cleanUp(shell);
    shellTrace("server ended");
    return exitCode;
}

}  // namespace

AppShell* appShell()
{
    return g_shell;
}

std::string AppShell::commsSettingsFile() const
{
    return settings.executableDirectory + "\\VUDOvoveRaduzeri.ini";
}

std::wstring AppShell::commsServerExe() const
{
    return TVCmnString::ansiToWide(settings.executableDirectory + "\\" + kCommsServerExe);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    // 2: COM and process security; both results are ignored.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
    // 3: the application object.
    auto shell = std::make_unique<AppShell>();
    // 4: one instance per machine.
    shell->instanceMutex.reset(CreateMutexA(nullptr, TRUE, kInstanceMutexName));
    if (!shell->instanceMutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        appMessageBox(nullptr, kSingleInstanceText, kWindowTitle, MB_OK | MB_ICONSTOP);
        CoUninitialize();
        return -1;
    }
    g_shell = shell.get();
    int exitCode = run(*shell, instance, commandLine);
    g_shell = nullptr;
    ReleaseMutex(shell->instanceMutex.get());
    shell.reset();
    CoUninitialize();
    TVCmnTrace::process().closeFiles();
    return exitCode;
}
