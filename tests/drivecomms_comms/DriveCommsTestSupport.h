// A plant for the comms link tests: our comms server in-process on a simulated network
// described by a settings text, an address space of drive parameter tags, a DA server
// made by DriveCreator, and the diagnostics the link posts, kept for checking.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Diagnostics.h"
#include "commsserver/CommsServer.h"
#include "commsserver/SimulatedNetwork.h"
#include "da/DaGroup.h"
#include "da/DaNamespaceRoot.h"
#include "da/DaNode.h"
#include "da/DaObjectRoot.h"
#include "da/DaServer.h"
#include "drivecomms/DriveComms.h"
#include "drivecomms/DriveGroup.h"

namespace drivetest {

constexpr auto kDeadline = std::chrono::seconds(20);  // a safety net, never the thing measured

inline bool waitUntil(const std::function<bool()>& condition)
{
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Node 1 answers at once; Speed (#1.21, one decimal place, -3000.0..3000.0), Setpoint
// (#1.22, integer) and Flag (#1.23) are explicit parameters, Burst0..3 generic ones.
inline const char* const kPlant = R"ini(
[comms]
replyTimeoutMs = 50
[node 1]
[parameter 1 #1.21]
type = int16
decimals = 1
min = -3000
max = 3000
value = 150
[parameter 1 #1.22]
type = int32
min = -100000
max = 100000
value = 7
)ini";

class Lines : public DiagnosticTarget {
public:
    bool postLine(bool, DiagnosticLine line) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.emplace_back(line.get());
        return true;
    }
    // Whether a line ending with the text comes (lines start with their time stamp): the
    // comms thread posts after it completes a request, so a woken caller may look first.
    bool arrives(const std::string& text) const
    {
        return waitUntil([&] {
            std::lock_guard<std::mutex> hold(lock_);
            return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
                return line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0;
            });
        });
    }
    int count(const std::string& text) const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return int(std::count_if(lines_.begin(), lines_.end(),
                                 [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// Stands between the link and our comms server, as the comms server exe's proxy does.
// Once 'gone' holds an RPC error, every call answers it (and is counted), as calls into
// a comms server whose process died do while the object behind stays. With the update gate closed,
// GetNextUpdate waits before it reaches the comms server, so a loop update stays queued
// there while the test does what should overtake it.
class StandIn : public ICommsServer {
public:
    static constexpr HRESULT kUnavailable = static_cast<HRESULT>(0x800706BAL);  // RPC server unavailable
    static constexpr HRESULT kDisconnected = static_cast<HRESULT>(0x80010108L);  // RPC_E_DISCONNECTED
    explicit StandIn(ICommsServer* inner) : inner_(inner) {}
    std::atomic<HRESULT> gone{S_OK};
    std::atomic<int> callsWhileGone{0};
    std::atomic<bool> diesAtRemove{false};  // gone from the first RemoveFromLoop on
    std::atomic<int> addDelayMs{0};         // each AddToLoop takes this long, as across processes

    void closeUpdates()
    {
        std::lock_guard<std::mutex> hold(gateLock_);
        gateOpen_ = false;
    }
    void openUpdates()
    {
        {
            std::lock_guard<std::mutex> hold(gateLock_);
            gateOpen_ = true;
        }
        gateChanged_.notify_all();
    }
    // Whether the update event thread waits at the closed gate.
    bool drainWaiting()
    {
        std::lock_guard<std::mutex> hold(gateLock_);
        return drainWaiting_;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
#define KV_FORWARD(call) return gone != S_OK ? (++callsWhileGone, gone.load()) : inner_->call
    HRESULT STDMETHODCALLTYPE RegisterClient(LONG k, LONGLONG w, LONG m, LPCWSTR n, LONG* r) override { KV_FORWARD(RegisterClient(k, w, m, n, r)); }
    HRESULT STDMETHODCALLTYPE UnregisterClient(LONG h, LONG* r) override { KV_FORWARD(UnregisterClient(h, r)); }
    HRESULT STDMETHODCALLTYPE GetVersion(LONG* r) override { KV_FORWARD(GetVersion(r)); }
    HRESULT STDMETHODCALLTYPE LoadSettingsFile(LPCWSTR p, LONG* pr, LONG* r) override { KV_FORWARD(LoadSettingsFile(p, pr, r)); }
    HRESULT STDMETHODCALLTYPE ApplySettings(LONG* p, LONG* r) override { KV_FORWARD(ApplySettings(p, r)); }
    HRESULT STDMETHODCALLTYPE ReadParameter(LONG h, LPCWSTR n, ParameterRecord* rec, LONG* r) override { KV_FORWARD(ReadParameter(h, n, rec, r)); }
    HRESULT STDMETHODCALLTYPE WriteParameter(LONG h, LPCWSTR n, ParameterRecord* rec, LONG* r) override { KV_FORWARD(WriteParameter(h, n, rec, r)); }
    HRESULT STDMETHODCALLTYPE AddToLoop(LONG h, ULONGLONG o, LPCWSTR n, ParameterRecord* rec, ULONG ms, LONG* r) override
    {
        if (const int delay = addDelayMs.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        KV_FORWARD(AddToLoop(h, o, n, rec, ms, r));
    }
    HRESULT STDMETHODCALLTYPE RemoveFromLoop(LONG h, ULONGLONG o, LPCWSTR n, ParameterRecord* rec, LONG* r) override
    {
        if (diesAtRemove)
            gone = kUnavailable;
        KV_FORWARD(RemoveFromLoop(h, o, n, rec, r));
    }
    HRESULT STDMETHODCALLTYPE GetNextUpdate(LONG h, ULONGLONG* o, BSTR* n, ParameterRecord* rec, LONG* r) override
    {
        {
            std::unique_lock<std::mutex> hold(gateLock_);
            drainWaiting_ = !gateOpen_;
            gateChanged_.wait(hold, [&] { return gateOpen_; });
            drainWaiting_ = false;
        }
        KV_FORWARD(GetNextUpdate(h, o, n, rec, r));
    }
    HRESULT STDMETHODCALLTYPE GetReply(LONG h, ParameterRecord* r) override { KV_FORWARD(GetReply(h, r)); }
#undef KV_FORWARD

private:
    ICommsServer* inner_;
    std::mutex gateLock_;
    std::condition_variable gateChanged_;
    bool gateOpen_ = true;        // guarded by gateLock_
    bool drainWaiting_ = false;   // guarded by gateLock_
};

class Plant : public ::testing::Test {
protected:
    void SetUp() override { start(kPlant); }

    // 'through' stands between the link and the comms server when given.
    void start(const char* settingsText, LONG namespaceProtocol = -1, uint32_t replyDeadlineMs = 4000,
               ICommsServer* through = nullptr)
    {
        folder_ = std::filesystem::temp_directory_path() /
                  ("kv-drivecomms-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "VUDOvoveRaduzeri.ini", std::ios::binary) << settingsText;

        diagnostics.flags = 0xFFFF;
        diagnostics.target = &lines;
        if (!server)
            server.attach(comms::CommsServer::create());

        DriveComms::Settings settings;
        settings.settingsFile = commsSettingsPath(folder_.wstring());
#ifndef _WIN32
        // The comms server takes the path as given; the shell composes it with '\'.
        settings.settingsFile = (folder_ / "VUDOvoveRaduzeri.ini").wstring();
#endif
        settings.namespaceProtocol = namespaceProtocol;
        settings.replyDeadlineMs = replyDeadlineMs;
        settings.setServerState = [this](DWORD state) { serverState = state; };
        settings.recreateServer = recreate;
        settings.recreateLongestWaitMs = recreateLongestWaitMs;
        link = std::make_unique<DriveComms>(through ? through : server.get(), diagnostics, settings);

        drive = DaRef<DaNode>(new DaNode);
        drive->setName("Drive1");
        space->addChild(drive.get());
        speed = addTag("Speed", 21, VT_R8, kDaAccessReadable | kDaAccessWritable);
        speed->setAnalogEU(-3000.0, 3000.0);
        setpoint = addTag("Setpoint", 22, VT_I4, kDaAccessReadable | kDaAccessWritable);
        status = addTag("Status", 30, VT_I4, kDaAccessReadable);
        for (int i = 0; i < 4; ++i)
            burst[i] = addTag("Burst" + std::to_string(i), 40 + i, VT_I4, kDaAccessReadable | kDaAccessWritable);

        creator = DaRef<DriveCreator>(new DriveCreator(link.get(), diagnostics));
        root = DaRef<DaObjectRoot>(new DaObjectRoot(creator.get()));
        root->setNamespaceRoot(0, space.get());
        root->setMinimumUpdateRateMs(10);
        daServer = root->createServer(0, false);
        ASSERT_TRUE(daServer);

        link->setNamespaceRoot(space.get());
        ASSERT_TRUE(link->startComms());
        if (namespaceProtocol == -1) {
            ASSERT_TRUE(waitUntil([&] { return link->isOnline(); }));
        }
    }

    // With a stand-in between the link and the comms server.
    void startBehindStandIn(uint32_t replyDeadlineMs = 4000)
    {
        server.attach(comms::CommsServer::create());
        standIn = std::make_unique<StandIn>(server.get());
        start(kPlant, -1, replyDeadlineMs, standIn.get());
    }

    void TearDown() override
    {
        root->shutdown();
        if (standIn)
            standIn->openUpdates();  // the update event thread must get out to stop
        if (link)
            link->stopComms();
        daServer = nullptr;
        root = nullptr;
        space->removeAllChildren();
        link.reset();
        standIn.reset();  // after the link that calls it
        server.reset();
        diagnostics.target = nullptr;
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    DaRef<DriveTag> addTag(const std::string& name, LONG parameter, VARTYPE vt, uint32_t rights)
    {
        DaRef<DriveTag> tag(new DriveTag);
        tag->setName(name);
        tag->setDatatype(vt);
        tag->setAccessRights(rights);
        tag->setDefaultHandling(3);
        tag->setNodeAddress("1");
        tag->setMenuNumber(1);
        tag->setParameterNumber(parameter);
        drive->addChild(tag.get());
        return tag;
    }

    DaRef<DaGroup> addGroup(uint32_t rateMs, bool active = true)
    {
        DaGroupParams params;
        params.active = active;
        params.requestedUpdateRateMs = rateMs;
        DaRef<DaGroup> group;
        uint32_t revised = 0;
        EXPECT_TRUE(SUCCEEDED(daServer->addGroup(params, group, &revised)));
        return group;
    }
    uint32_t addItem(DaGroup* group, const std::string& id, bool active = true)
    {
        DaItemDef def{id, "", VT_EMPTY, active, 1};
        DaItemResult result;
        EXPECT_EQ(S_OK, group->addItem(def, result)) << id;
        return result.serverHandle;
    }

    std::shared_ptr<comms::SimulatedNetwork> net() { return server->simulatedNetwork(); }
    size_t loopEntries() { return server->loopEntries(link->loopHandle()); }

    HRESULT write(DaGroup* group, uint32_t handle, const VARIANT& value)
    {
        std::vector<HRESULT> errors;
        const uint32_t handles[] = {handle};
        const HRESULT hr = group->syncWrite(handles, std::span<const VARIANT>(&value, 1), errors);
        return errors.empty() ? hr : errors[0];
    }
    DaReadResult read(DaGroup* group, uint32_t handle, HRESULT* error = nullptr)
    {
        std::vector<DaReadResult> results;
        std::vector<HRESULT> errors;
        const uint32_t handles[] = {handle};
        group->syncRead(true, handles, results, errors);
        if (error)
            *error = errors.empty() ? E_FAIL : errors[0];
        return results.empty() ? DaReadResult{} : std::move(results[0]);
    }

    std::filesystem::path folder_;
    Lines lines;
    AppDiagnostics diagnostics;
    TVCmnComPtr<comms::CommsServer> server;
    std::unique_ptr<StandIn> standIn;
    std::unique_ptr<DriveComms> link;
    DaRef<DaNamespaceRoot> space{new DaNamespaceRoot};
    DaRef<DaNode> drive;
    DaRef<DriveTag> speed, setpoint, status, burst[4];
    DaRef<DriveCreator> creator;
    DaRef<DaObjectRoot> root;
    DaRef<DaServer> daServer;
    std::atomic<DWORD> serverState{0};
    // Handed to the link as its comms server factory when set before start().
    std::function<HRESULT(ICommsServer**)> recreate;
    uint32_t recreateLongestWaitMs = 5000;
};

// A plant each test starts itself, with its own settings or comms server stand-in.
class LatePlant : public Plant {
protected:
    void SetUp() override {}
};

}  // namespace drivetest
