// The one object per process between the application and the OPC world: the server's
// identity, its registration (keys, ProgIDs, AppID, component categories), the class
// factory of the server COM object, and the toolkit main thread that checks the
// connected clients, disconnects the dead ones and asks clients to shut down when the
// server stops. The application shell fills it, registers or starts it, and stops it;
// the server COM objects register themselves with it while they live.
//
// Windows only: everything here is COM.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "da/DaObjectRoot.h"

class DaOpcServer;

// OPC DA category flags (one byte).
inline constexpr uint8_t kDaCategoryDa1 = 0x01;
inline constexpr uint8_t kDaCategoryDa2 = 0x02;
inline constexpr uint8_t kDaCategoryDa3 = 0x04;
inline constexpr uint8_t kDaCategoryAe1 = 0x10;

inline constexpr int kDaServerKindLibrary = 0;
inline constexpr int kDaServerKindExecutable = 1;

struct DaEntryIdentity {
    std::wstring progId;
    std::wstring versionIndependentProgId;
    std::wstring description;
    std::string vendor = "Kestrova OPC DA server";
    WORD majorVersion = 4;
    WORD minorVersion = 1;
    WORD buildNumber = 472;
    uint8_t categories = kDaCategoryDa1 | kDaCategoryDa2 | kDaCategoryDa3;
};

class DaEntry {
public:
    static constexpr DWORD kNoClientChecks = INFINITE;
    static constexpr DWORD kStopWaitMs = 10000;
    static constexpr const char* kShutdownReason = "Server shutdown";

    static DaEntry& instance();

    // Stores kind and class ID; a non-zero kind initialises COM in the calling thread
    // with coInitFlags. Records the start time. False when COM could not be set up.
    bool initialise(int kind, const CLSID& clsid, HMODULE module, DWORD coInitFlags);
    void setIdentity(const DaEntryIdentity& identity);
    const DaEntryIdentity& identity() const { return identity_; }
    const CLSID& clsid() const { return clsid_; }
    void setCheckIntervalMs(DWORD ms) { checkIntervalMs_ = ms; }
    // Also registers the V1 stream formats with the root.
    void setObjectRoot(DaObjectRoot* root);
    DaObjectRoot* objectRoot() const { return root_.get(); }
    FILETIME startTime() const { return startTime_; }
    DWORD serverState() const { return serverState_; }

    HRESULT registerServer();
    HRESULT unregisterServer();

    // Starts the main thread, which registers the class factory. False when the thread
    // did not come up or could not register the class objects.
    bool start();
    // Signals the end event and waits up to kStopWaitMs for the main thread.
    void stop();
    // Has the main thread ask every client to shut down (the shutdown event).
    void requestClientShutdown();
    // Has the main thread check the clients now (the engine found one dead).
    void requestClientCheck();
    // Signalled when the last server COM object and lock are gone (an exe that COM
    // started then ends).
    HANDLE lastReleaseEvent() const { return lastRelease_; }

    // The server COM objects while they live (the main thread's client checks).
    void addServerObject(DaOpcServer* server);
    void removeServerObject(DaOpcServer* server);
    // Sends ShutdownRequest(reason) to every client that advised IOPCShutdown.
    void shutdownClients(const char* reason);
    // One client check pass (what the main thread does on its time-out).
    void checkClients();

    // Process references of COM objects and factory locks (CoAddRefServerProcess);
    // the last release signals lastReleaseEvent.
    void lockServer();
    void unlockServer();

    const char* traceId() const { return traceId_.c_str(); }

private:
    DaEntry();
    static DWORD WINAPI mainThreadStart(void* self);
    DWORD mainThread();
    void collectServers(std::vector<DaOpcServer*>& servers);
    void releaseServers(std::vector<DaOpcServer*>& servers);

    int kind_ = kDaServerKindLibrary;
    CLSID clsid_ = {};
    HMODULE module_ = nullptr;
    DaEntryIdentity identity_;
    DWORD checkIntervalMs_ = kNoClientChecks;
    FILETIME startTime_ = {0, 0};
    DWORD serverState_ = 1;  // OPC_STATUS_RUNNING
    DaRef<DaObjectRoot> root_;
    std::string traceId_;

    HANDLE endEvent_ = nullptr;
    HANDLE shutdownEvent_ = nullptr;
    HANDLE checkEvent_ = nullptr;
    HANDLE startedEvent_ = nullptr;
    HANDLE lastRelease_ = nullptr;
    HANDLE thread_ = nullptr;
    std::atomic<HRESULT> registration_{S_OK};  // of the class objects, set by the main thread

    std::mutex serversLock_;
    std::vector<DaOpcServer*> servers_;  // guarded by serversLock_; not owning
};
