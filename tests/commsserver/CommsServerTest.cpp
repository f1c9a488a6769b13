// ICommsServer as the OPC server uses it: registration, settings, direct reads and
// writes answered by posted messages, the polling loop, and every kind of bad call.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "CommsTestSupport.h"
#include "commsserver/CommsSettingsDialog.h"

using namespace comms;
using namespace commstest;

namespace {

const char* kPlant = R"ini(
[comms]
replyTimeoutMs = 20
[node 1]
[node 2]
anyParameter = no
[node 3]
[parameter 1 #1.21]
type = int16
decimals = 1
min = -3000
max = 3000
value = 1500
[parameter 2 #1.1]
value = 5
)ini";

const wchar_t* const kClientName = L"RE ZUD Irurer 3";

class CommsServerTest : public ::testing::Test {
protected:
    void SetUp() override { goOnline(kPlant); }

    void goOnline(const char* settingsText)
    {
        TempSettingsFile file(settingsText);
        LONG protocol = -1, ret = -1;
        ASSERT_EQ(server->LoadSettingsFile(file.widePath().c_str(), &protocol, &ret), S_OK);
        ASSERT_EQ(ret, kStatusOk) << server->lastSettingsError();
        ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
        ASSERT_EQ(ret, kStatusOk);
        ASSERT_EQ(server->RegisterClient(kClientLoop, window.handle(), kCommsNotify2, kClientName, &loop), S_OK);
        ASSERT_EQ(server->RegisterClient(kClientDirectIo, window.handle(), kCommsNotify, kClientName, &direct), S_OK);
        ASSERT_GE(loop, 0);
        ASSERT_GE(direct, 0);
        net = server->simulatedNetwork();
        ASSERT_TRUE(net);
    }

    LONG read(const char* node, ParameterRecord r)
    {
        LONG ret = 1234;
        EXPECT_EQ(server->ReadParameter(direct, wide(node).c_str(), &r, &ret), S_OK);
        return ret;
    }
    LONG write(const char* node, ParameterRecord r)
    {
        LONG ret = 1234;
        EXPECT_EQ(server->WriteParameter(direct, wide(node).c_str(), &r, &ret), S_OK);
        return ret;
    }
    LONG addToLoop(ULONGLONG owner, const char* node, ParameterRecord r, ULONG rateMs, LONG handle = -1)
    {
        LONG ret = 1234;
        EXPECT_EQ(server->AddToLoop(handle < 0 ? loop : handle, owner, wide(node).c_str(), &r, rateMs, &ret), S_OK);
        return ret;
    }
    LONG removeFromLoop(ULONGLONG owner, const char* node, ParameterRecord r)
    {
        LONG ret = 1234;
        EXPECT_EQ(server->RemoveFromLoop(loop, owner, wide(node).c_str(), &r, &ret), S_OK);
        return ret;
    }
    // The next message, which must come; its number is checked by the caller.
    Message reply()
    {
        Message m;
        EXPECT_TRUE(window.waitFor(m)) << "no message within the deadline";
        return m;
    }

    struct Update {
        LONG status;
        ULONGLONG owner;
        std::string node;
        ParameterRecord record;
    };
    std::vector<Update> drain()
    {
        std::vector<Update> out;
        for (;;) {
            Update u{};
            BSTR node = nullptr;
            EXPECT_EQ(server->GetNextUpdate(loop, &u.owner, &node, &u.record, &u.status), S_OK);
            if (node) {
                u.node = toUtf8(node);
                SysFreeString(node);
            }
            if (u.status == kStatusNoMoreUpdates)
                return out;
            out.push_back(u);
        }
    }

    ServerRef server;
    TestWindow window;
    LONG loop = -1;
    LONG direct = -1;
    std::shared_ptr<SimulatedNetwork> net;
};

TEST_F(CommsServerTest, VersionIsSixDigitsOfFourBits)
{
    LONG version = 0;
    ASSERT_EQ(server->GetVersion(&version), S_OK);
    char text[16];
    std::snprintf(text, sizeof text, "%ld%ld.%ld%ld.%ld%ld", long(version >> 20 & 15), long(version >> 16 & 15),
                  long(version >> 12 & 15), long(version >> 8 & 15), long(version >> 4 & 15), long(version & 15));
    EXPECT_STREQ(text, "04.01.00");
    EXPECT_EQ(server->GetVersion(nullptr), E_POINTER);
}

TEST_F(CommsServerTest, RegisterClientChecksItsArguments)
{
    struct Row {
        const char* what;
        LONG kind;
        bool withWindow;
        LONG message;
        LONG expected;  // kStatusOk: a valid handle
    };
    const Row rows[] = {
        {"direct IO", kClientDirectIo, true, kCommsNotify, kStatusOk},
        {"loop", kClientLoop, true, kCommsNotify2, kStatusOk},
        {"kind 1", 1, true, kCommsNotify, kStatusBadArgument},
        {"kind -1", -1, true, kCommsNotify, kStatusBadArgument},
        {"no window", kClientDirectIo, false, kCommsNotify, kStatusBadArgument},
        {"no message", kClientLoop, true, 0, kStatusBadArgument},
    };
    std::set<LONG> handles = {loop, direct};
    for (const Row& row : rows) {
        LONG ret = 1234;
        ASSERT_EQ(server->RegisterClient(row.kind, row.withWindow ? window.handle() : 0, row.message, nullptr, &ret), S_OK);
        if (row.expected == kStatusOk) {
            EXPECT_GE(ret, 0) << row.what;
            EXPECT_TRUE(handles.insert(ret).second) << row.what << ": handles are distinct";
        } else {
            EXPECT_EQ(ret, row.expected) << row.what;
        }
    }
    EXPECT_EQ(server->RegisterClient(kClientLoop, window.handle(), kCommsNotify2, kClientName, nullptr), E_POINTER);
}

TEST_F(CommsServerTest, ClientsAreLimitedAndUnregisterOnlyOnce)
{
    LONG ret = 0;
    std::vector<LONG> extra;
    while (server->RegisterClient(kClientLoop, window.handle(), kCommsNotify2, kClientName, &ret) == S_OK && ret >= 0)
        extra.push_back(ret);
    EXPECT_EQ(ret, kStatusTooManyClients);
    EXPECT_EQ(extra.size() + 2, kMaxClients);
    ASSERT_EQ(server->UnregisterClient(extra.back(), &ret), S_OK);
    EXPECT_EQ(ret, kStatusOk);
    ASSERT_EQ(server->UnregisterClient(extra.back(), &ret), S_OK);
    EXPECT_EQ(ret, kStatusBadHandle);
    ASSERT_EQ(server->UnregisterClient(-1, &ret), S_OK);
    EXPECT_EQ(ret, kStatusBadHandle);
    ASSERT_EQ(server->RegisterClient(kClientLoop, window.handle(), kCommsNotify2, kClientName, &ret), S_OK);
    EXPECT_GT(ret, extra.back()) << "handles are never reused";
}

TEST_F(CommsServerTest, ReadRepliesWithKind17AndGetReplyHoldsTheRecord)
{
    ParameterRecord ask = record(1, 21);
    ask.objectType = 7;
    ask.reserved3 = ask.reserved9 = 99;
    ParameterRecord none{};
    EXPECT_EQ(server->GetReply(direct, &none), S_FALSE) << "no reply yet";

    ASSERT_EQ(read("1", ask), kStatusOk);
    const Message m = reply();
    EXPECT_EQ(m.message, kCommsNotify);
    EXPECT_EQ(m.wParam, kReplyRead);
    EXPECT_EQ(m.lParam, kStatusSuccess);

    ParameterRecord got{};
    ASSERT_EQ(server->GetReply(direct, &got), S_OK);
    EXPECT_EQ(got.objectType, 7);
    EXPECT_EQ(got.menu, 1);
    EXPECT_EQ(got.parameter, 21);
    EXPECT_EQ(got.value, 15000);
    EXPECT_EQ(got.decimalPlaces, 1);
    EXPECT_DOUBLE_EQ(got.floatValue, 1500.0);
    EXPECT_EQ(got.reserved3, 0);
    EXPECT_EQ(got.reserved9, 0);

    EXPECT_EQ(server->GetReply(loop, &got), E_INVALIDARG) << "a loop handle has no replies";
    EXPECT_EQ(server->GetReply(12345, &got), E_INVALIDARG);
    EXPECT_EQ(server->GetReply(direct, nullptr), E_POINTER);
}

TEST_F(CommsServerTest, WriteIsConfirmedWithKind18AndReachesTheDrive)
{
    ASSERT_EQ(write("1", record(1, 21, -1255, 1)), kStatusOk);
    const Message m = reply();
    EXPECT_EQ(m.message, kCommsNotify);
    EXPECT_EQ(m.wParam, kReplyWriteConfirmed);
    EXPECT_EQ(m.lParam, kStatusSuccess);
    const auto log = net->writeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].node, "1");
    EXPECT_EQ(log[0].menu, 1);
    EXPECT_EQ(log[0].parameter, 21);
    EXPECT_EQ(log[0].value, -1255);
}

TEST_F(CommsServerTest, EachDriveFaultReachesTheClientAsItsReply)
{
    struct Row {
        const char* fault;
        unsigned networkFaults, nodeFaults;
        const char* node;
        LONG menu, parameter;
        // ReadParameter's ret, then the reply (when ret is 0).
        LONG readRet;
        WPARAM readKind;
        LONG readStatus;
        LONG writeRet;
        WPARAM writeKind;
        LONG writeStatus;
        std::size_t writesApplied;
    };
    const Row rows[] = {
        {"network down", kFaultNetworkDown, 0, "1", 1, 21, kStatusNetworkDown, 0, 0, kStatusNetworkDown, 0, 0, 0},
        {"node silent", 0, kFaultSilent, "1", 1, 21, 0, kReplyTimeout, kStatusNodeSilent, 0, kReplyTimeout,
         kStatusNodeSilent, 0},
        {"reply time-out", 0, kFaultReplyTimeout, "1", 1, 21, 0, kReplyTimeout, kStatusReplyTimeout, 0, kReplyTimeout,
         kStatusReplyTimeout, 1},
        {"write rejected", 0, kFaultRejectWrites, "1", 1, 21, 0, kReplyRead, kStatusSuccess, 0, kReplyWriteConfirmed,
         kStatusWriteRejected, 0},
        {"no such parameter", 0, 0, "2", 9, 9, 0, kReplyRead, kStatusNoSuchParameter, 0, kReplyWriteConfirmed,
         kStatusNoSuchParameter, 0},
    };
    for (const Row& row : rows) {
        net->setNetworkFaults(row.networkFaults);
        net->setNodeFaults("1", row.nodeFaults);
        const std::size_t logBefore = net->writeLog().size();

        EXPECT_EQ(read(row.node, record(row.menu, row.parameter)), row.readRet) << row.fault;
        if (row.readRet == kStatusOk) {
            const Message m = reply();
            EXPECT_EQ(m.wParam, row.readKind) << row.fault;
            EXPECT_EQ(m.lParam, row.readStatus) << row.fault;
        }
        EXPECT_EQ(write(row.node, record(row.menu, row.parameter, 10, 0)), row.writeRet) << row.fault;
        if (row.writeRet == kStatusOk) {
            const Message m = reply();
            EXPECT_EQ(m.wParam, row.writeKind) << row.fault;
            EXPECT_EQ(m.lParam, row.writeStatus) << row.fault;
        }
        EXPECT_EQ(net->writeLog().size() - logBefore, row.writesApplied) << row.fault;
    }
    Message stray;
    EXPECT_FALSE(window.tryGet(stray)) << "one message per started request, no more";
}

TEST_F(CommsServerTest, BadDirectRequestsAreRefusedWithAStatus)
{
    ParameterRecord good = record(1, 21);
    struct Row {
        const char* what;
        LONG handle;
        const wchar_t* node;
        ParameterRecord* record;
        LONG menu, parameter;
        LONG expected;
    };
    const Row rows[] = {
        {"unregistered handle", 999, L"1", &good, 1, 21, kStatusBadHandle},
        {"loop handle", loop, L"1", &good, 1, 21, kStatusBadHandle},
        {"null node", direct, nullptr, &good, 1, 21, kStatusBadArgument},
        {"empty node", direct, L"", &good, 1, 21, kStatusBadArgument},
        {"null record", direct, L"1", nullptr, 0, 0, kStatusBadRecord},
        {"negative menu", direct, L"1", &good, -1, 21, kStatusBadRecord},
        {"parameter above 65535", direct, L"1", &good, 1, 70000, kStatusBadRecord},
        {"unknown node", direct, L"9", &good, 1, 21, kStatusUnknownNode},
    };
    for (const Row& row : rows) {
        if (row.record) {
            row.record->menu = row.menu;
            row.record->parameter = row.parameter;
        }
        LONG ret = 1234;
        ASSERT_EQ(server->ReadParameter(row.handle, row.node, row.record, &ret), S_OK);
        EXPECT_EQ(ret, row.expected) << "read, " << row.what;
        ASSERT_EQ(server->WriteParameter(row.handle, row.node, row.record, &ret), S_OK);
        EXPECT_EQ(ret, row.expected) << "write, " << row.what;
    }
    EXPECT_EQ(server->ReadParameter(direct, L"1", &good, nullptr), E_POINTER);
    Message stray;
    EXPECT_FALSE(window.tryGet(stray)) << "refused requests post nothing";
}

TEST_F(CommsServerTest, OneRequestAtATimePerDirectClient)
{
    ASSERT_TRUE(net->setNodeLatencyMs("1", 500));
    ASSERT_EQ(read("1", record(1, 21)), kStatusOk);
    EXPECT_EQ(read("1", record(1, 21)), kStatusBusy);
    EXPECT_EQ(write("1", record(1, 21, 1, 0)), kStatusBusy);
    EXPECT_EQ(reply().wParam, kReplyRead);
    ASSERT_TRUE(net->setNodeLatencyMs("1", 0));
    EXPECT_EQ(read("1", record(1, 21)), kStatusOk) << "free again after the reply";
    EXPECT_EQ(reply().wParam, kReplyRead);
}

TEST_F(CommsServerTest, NothingIsPostedForAClientThatUnregisteredMeanwhile)
{
    ASSERT_TRUE(net->setNodeLatencyMs("1", 100));
    ASSERT_EQ(read("1", record(1, 21)), kStatusOk);
    LONG ret = 0;
    ASSERT_EQ(server->UnregisterClient(direct, &ret), S_OK);
    // The loop client on the same window proves the worker went on: its update comes,
    // and it is the only message.
    ASSERT_EQ(addToLoop(1, "1", record(1, 21), kLoopRateNeverMs), kStatusOk);
    const Message m = reply();
    EXPECT_EQ(m.message, kCommsNotify2);
    Message stray;
    EXPECT_FALSE(window.tryGet(stray));
}

TEST_F(CommsServerTest, LoopUpdatesAreAnnouncedOnceAndDrainedUntil101)
{
    ASSERT_EQ(addToLoop(0x1111, "1", record(1, 21), 10), kStatusOk);
    ASSERT_EQ(addToLoop(0x2222, "2", record(1, 1), 10), kStatusOk);
    ASSERT_EQ(addToLoop(0x3333, "1", record(42, 7), 10), kStatusOk);
    const Message first = reply();
    EXPECT_EQ(first.message, kCommsNotify2);
    EXPECT_EQ(first.wParam, kUpdatesWaiting);
    // Readings go on every 10 ms, but while updates wait nothing more is posted.
    Message more;
    EXPECT_FALSE(window.waitFor(more, 150)) << "posted " << more.message << " while updates were waiting";
    EXPECT_EQ(server->queuedUpdates(loop), 3u) << "one update per entry, however many readings";

    std::map<ULONGLONG, Update> byOwner;
    for (const Update& u : drain())
        byOwner[u.owner] = u;
    ASSERT_EQ(byOwner.size(), 3u);
    EXPECT_EQ(byOwner[0x1111].status, kStatusOk);
    EXPECT_EQ(byOwner[0x1111].node, "1");
    EXPECT_EQ(byOwner[0x1111].record.value, 15000);
    EXPECT_EQ(byOwner[0x1111].record.decimalPlaces, 1);
    EXPECT_EQ(byOwner[0x2222].node, "2");
    EXPECT_EQ(byOwner[0x2222].record.value, 5);
    EXPECT_EQ(byOwner[0x3333].record.menu, 42);
    EXPECT_EQ(byOwner[0x3333].record.parameter, 7);

    // Empty again: the next reading is announced again.
    const Message again = reply();
    EXPECT_EQ(again.message, kCommsNotify2);
    EXPECT_FALSE(drain().empty());
}

TEST_F(CommsServerTest, LoopFollowsChangesAndStopsAfterRemoval)
{
    ASSERT_EQ(addToLoop(1, "1", record(1, 21), kLoopRateNeverMs), kStatusOk);
    reply();
    ASSERT_EQ(drain().size(), 1u);
    ASSERT_TRUE(net->setDriveValue("1", 1, 21, 222.2));
    server->pollLoopNow();
    reply();
    const auto updates = drain();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].record.value, 2222);

    EXPECT_EQ(removeFromLoop(1, "1", record(1, 21)), kStatusOk);
    EXPECT_EQ(server->loopEntries(loop), 0u);
    EXPECT_EQ(removeFromLoop(1, "1", record(1, 21)), kStatusNotInLoop) << "removed twice";
}

TEST_F(CommsServerTest, LoopReportsFaultsAsUpdateStatuses)
{
    // Each node fault on a node of its own: a node that did not answer is left alone
    // for a while, answered for with the status it gave.
    struct Row {
        const char* fault;
        unsigned networkFaults, nodeFaults;
        const char* node;
        LONG menu, parameter;
        LONG status;
    };
    const Row rows[] = {
        {"data", 0, 0, "1", 1, 21, kStatusOk},
        {"network down", kFaultNetworkDown, 0, "1", 1, 21, kStatusNetworkDown},
        {"node silent", 0, kFaultSilent, "1", 1, 21, kStatusNodeSilent},
        {"reply time-out", 0, kFaultReplyTimeout, "3", 1, 21, kStatusReplyTimeout},
        {"no such parameter", 0, 0, "2", 9, 9, kStatusLoopNoSuchParameter},
    };
    ULONGLONG owner = 100;
    for (const Row& row : rows) {
        net->setNetworkFaults(row.networkFaults);
        if (std::string(row.node) != "2")
            net->setNodeFaults(row.node, row.nodeFaults);
        ASSERT_EQ(addToLoop(++owner, row.node, record(row.menu, row.parameter), kLoopRateNeverMs), kStatusOk)
            << row.fault;
        EXPECT_EQ(reply().message, kCommsNotify2) << row.fault;
        const auto updates = drain();
        ASSERT_EQ(updates.size(), 1u) << row.fault;
        EXPECT_EQ(updates[0].status, row.status) << row.fault;
        EXPECT_EQ(updates[0].owner, owner) << row.fault;
        EXPECT_EQ(updates[0].record.menu, row.menu) << row.fault << ": the record names the parameter";
    }
}

TEST_F(CommsServerTest, ASilentNodeIsAskedOnceNotForEveryBlock)
{
    net->setNodeFaults("1", kFaultSilent);
    const std::uint64_t before = net->requestCount();
    // Three blocks of the silent node (different menus) and one of a healthy node.
    for (LONG menu : {1, 2, 3})
        ASSERT_EQ(addToLoop(menu, "1", record(menu, 1), kLoopRateNeverMs), kStatusOk);
    ASSERT_EQ(addToLoop(4, "2", record(1, 1), kLoopRateNeverMs), kStatusOk);
    std::map<ULONGLONG, LONG> statusByOwner;
    while (statusByOwner.size() < 4) {
        ASSERT_EQ(reply().message, kCommsNotify2);
        for (const Update& u : drain())
            statusByOwner[u.owner] = u.status;
    }
    EXPECT_EQ(statusByOwner, (std::map<ULONGLONG, LONG>{
                                 {1, kStatusNodeSilent}, {2, kStatusNodeSilent}, {3, kStatusNodeSilent}, {4, kStatusOk}}));
    EXPECT_EQ(net->requestCount() - before, 2u) << "one wait for the silent node, one read of the healthy one";
}

TEST_F(CommsServerTest, BadLoopCallsAreRefusedWithAStatus)
{
    struct Row {
        const char* what;
        LONG handle;
        const char* node;
        LONG menu, parameter;
        LONG expected;
    };
    const Row rows[] = {
        {"unregistered handle", 999, "1", 1, 21, kStatusBadHandle},
        {"direct handle", direct, "1", 1, 21, kStatusBadHandle},
        {"empty node", loop, "", 1, 21, kStatusBadArgument},
        {"bad record", loop, "1", 1, -21, kStatusBadRecord},
        {"unknown node", loop, "9", 1, 21, kStatusUnknownNode},
    };
    for (const Row& row : rows)
        EXPECT_EQ(addToLoop(1, row.node, record(row.menu, row.parameter), 100, row.handle), row.expected) << row.what;
    LONG ret = 0;
    EXPECT_EQ(server->AddToLoop(loop, 1, L"1", nullptr, 100, &ret), S_OK);
    EXPECT_EQ(ret, kStatusBadRecord);

    EXPECT_EQ(removeFromLoop(1, "1", record(1, 21)), kStatusNotInLoop) << "never added";
    EXPECT_EQ(removeFromLoop(1, "never seen", record(1, 21)), kStatusNotInLoop);
    EXPECT_EQ(server->RemoveFromLoop(direct, 1, L"1", nullptr, &ret), S_OK);
    EXPECT_EQ(ret, kStatusBadHandle);

    // A drain "until -101" must end for any handle, or the caller would spin.
    for (LONG handle : {LONG(-1), direct, LONG(999)}) {
        ULONGLONG owner = 77;
        ParameterRecord r = record(5, 5);
        ASSERT_EQ(server->GetNextUpdate(handle, &owner, nullptr, &r, &ret), S_OK);
        EXPECT_EQ(ret, kStatusNoMoreUpdates) << "handle " << handle;
        EXPECT_EQ(owner, 0u);
        EXPECT_EQ(r.menu, 0);
    }
    ULONGLONG owner = 0;
    ParameterRecord r{};
    EXPECT_EQ(server->GetNextUpdate(loop, nullptr, nullptr, &r, &ret), E_POINTER);
    EXPECT_EQ(server->GetNextUpdate(loop, &owner, nullptr, nullptr, &ret), E_POINTER);
    Message stray;
    EXPECT_FALSE(window.tryGet(stray));
}

TEST(CommsServerSettings, LoadAndApplyAnswerEachProblemWithItsStatus)
{
    ServerRef server;
    LONG protocol = -1, ret = 0;
    ParameterRecord r = record(1, 21);
    TestWindow window;
    LONG direct = -1;
    ASSERT_EQ(server->RegisterClient(kClientDirectIo, window.handle(), kCommsNotify, kClientName, &direct), S_OK);
    ASSERT_EQ(server->ReadParameter(direct, L"1", &r, &ret), S_OK);
    EXPECT_EQ(ret, kStatusNotConfigured) << "before any settings apply";
    ASSERT_EQ(server->UnregisterClient(direct, &ret), S_OK);

    struct Row {
        const char* what;
        const char* text;  // nullptr: no such file
        LONG loadStatus;
        LONG protocol;     // after a successful load
        LONG applyStatus;
    };
    const Row rows[] = {
        {"missing file", nullptr, kStatusOk, kProtocolSimulated, kStatusOk},
        {"malformed", "[comms\n", kStatusSettingsSyntax, -1, 0},
        {"contradictory", "[node 1]\n[node 1]\n", kStatusSettingsContradictory, -1, 0},
        {"Modbus TCP", "[comms]\nprotocol = 1\n", kStatusOk, kProtocolModbusTcp, kStatusOk},
        {"simulated", kPlant, kStatusOk, kProtocolSimulated, kStatusOk},
    };
    for (const Row& row : rows) {
        TempSettingsFile file(row.text ? row.text : "");
        std::basic_string<WCHAR> path = file.widePath();
        if (!row.text)
            path += toWide(".absent");
        protocol = -1;
        ASSERT_EQ(server->LoadSettingsFile(path.c_str(), &protocol, &ret), S_OK);
        EXPECT_EQ(ret, row.loadStatus) << row.what;
        if (ret != kStatusOk) {
            EXPECT_FALSE(server->lastSettingsError().empty()) << row.what;
            continue;
        }
        EXPECT_EQ(protocol, row.protocol) << row.what;
        ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
        EXPECT_EQ(ret, row.applyStatus) << row.what;
    }

    protocol = kProtocolModbusRtu;
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusProtocolMismatch);
    EXPECT_EQ(server->LoadSettingsFile(nullptr, &protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusBadArgument);
    TempSettingsFile folder("");
    const std::u8string folderText = folder.folder().u8string();
    EXPECT_EQ(server->LoadSettingsFile(toWide(std::string(folderText.begin(), folderText.end())).c_str(), &protocol, &ret),
              S_OK);
    EXPECT_EQ(ret, kStatusSettingsUnreadable);
    EXPECT_EQ(server->LoadSettingsFile(L"x", nullptr, &ret), E_POINTER);
    EXPECT_EQ(server->ApplySettings(nullptr, &ret), E_POINTER);
}

TEST(CommsServerSettings, OtherSettingsWaitUntilNoClientIsRegistered)
{
    ServerRef server;
    TestWindow window;
    LONG protocol = 0, ret = 0, loop = -1;
    TempSettingsFile plant(kPlant);
    ASSERT_EQ(server->LoadSettingsFile(plant.widePath().c_str(), &protocol, &ret), S_OK);
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    ASSERT_EQ(ret, kStatusOk);
    auto net = server->simulatedNetwork();
    ASSERT_EQ(net->writeParameter("1", 1, 21, 5, 0), kStatusOk);
    ASSERT_EQ(server->RegisterClient(kClientLoop, window.handle(), kCommsNotify2, kClientName, &loop), S_OK);

    // The same file again (going online once more): accepted, the drives keep their state.
    ASSERT_EQ(server->LoadSettingsFile(plant.widePath().c_str(), &protocol, &ret), S_OK);
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusOk);
    EXPECT_EQ(server->simulatedNetwork(), net);

    TempSettingsFile other("[node 7]\n");
    ASSERT_EQ(server->LoadSettingsFile(other.widePath().c_str(), &protocol, &ret), S_OK);
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusSettingsInUse) << "another user is online";
    ASSERT_EQ(server->UnregisterClient(loop, &ret), S_OK);
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusOk);
    EXPECT_NE(server->simulatedNetwork(), net);
    EXPECT_EQ(server->simulatedNetwork()->checkNode("7"), kStatusOk);
}

TEST(CommsServerObject, InterfacesAndTheSettingsDialogStandIn)
{
    ServerRef server;
    ICommsServer* same = nullptr;
    ASSERT_EQ(server->QueryInterface(IID_ICommsServer, reinterpret_cast<void**>(&same)), S_OK);
    EXPECT_EQ(same, static_cast<ICommsServer*>(server.p));
    same->Release();
    void* none = &none;
    EXPECT_EQ(server->QueryInterface(IID_ICommsSettingsDialog, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    ICommsSettingsDialog* dialog = nullptr;
    ASSERT_EQ(createCommsSettingsDialog(IID_ICommsSettingsDialog, reinterpret_cast<void**>(&dialog)), S_OK);
    LONG ret = -1;
    ASSERT_EQ(dialog->ShowSettingsDialog(0, L"VUDOvoveRaduzeri.ini", 0, &ret), S_OK);
    EXPECT_EQ(ret, kSettingsUnchanged);
    ASSERT_EQ(dialog->ShowSettingsDialog(0, nullptr, 0, &ret), S_OK);
    EXPECT_EQ(ret, kStatusBadArgument);
    EXPECT_EQ(dialog->ShowSettingsDialog(0, L"x.ini", 0, nullptr), E_POINTER);
    EXPECT_EQ(dialog->Release(), 0u);
}

}  // namespace
