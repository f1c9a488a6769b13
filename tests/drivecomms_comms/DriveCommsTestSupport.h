// A plant for the comms link tests: our comms server in-process on a simulated network
// described by a settings text, an address space of drive parameter tags, a DA server
// made by DriveCreator, and the diagnostics the link posts, kept for checking.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
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
    // Whether a line ends with the text (lines start with their time stamp).
    bool has(const std::string& text) const
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const std::string& line : lines_)
            if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
                return true;
        return false;
    }
    // The comms thread posts after it completes a request: a caller woken by the
    // completion may look before the line is there.
    bool arrives(const std::string& text) const
    {
        return waitUntil([&] { return has(text); });
    }
    int count(const std::string& text) const
    {
        std::lock_guard<std::mutex> hold(lock_);
        int n = 0;
        for (const std::string& line : lines_)
            if (line.find(text) != std::string::npos)
                ++n;
        return n;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
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

    void TearDown() override
    {
        root->shutdown();
        if (link)
            link->stopComms();
        daServer = nullptr;
        root = nullptr;
        space->removeAllChildren();
        link.reset();
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
};

}  // namespace drivetest
