// ICommsServer as the OPC server uses it: registration, settings, direct reads and
// writes answered by posted messages, the polling loop, and every kind of bad call.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "CommsTestSupport.h"
#include "common/TVCmnComPtr.h"
#include "commsserver/CommsSettingsDialog.h"

using namespace comms;
using namespace commstest;

namespace {

class CommsServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(client.ready()) << client.why();
        ASSERT_TRUE(net);
    }
    void expectNoMessage(const char* why)
    {
        Message stray;
        EXPECT_FALSE(client.directWindow.tryGet(stray)) << why << ": direct IO got " << stray.wParam;
        EXPECT_FALSE(client.loopWindow.tryGet(stray)) << why << ": loop got " << stray.wParam;
    }

    CommsClient client{kPlant};
    comms::CommsServer* server = client.server();
    std::shared_ptr<SimulatedNetwork> net = server->simulatedNetwork();
};

TEST_F(CommsServerTest, VersionIsSixDigitsOfFourBits)
{
    LONG version = 0;
    ASSERT_EQ(server->GetVersion(&version), S_OK);
    EXPECT_EQ(version, 0x040100) << "04.01.00";
    EXPECT_EQ(server->GetVersion(nullptr), E_POINTER);
}

TEST_F(CommsServerTest, ClientsRegisterWithValidArgumentsUpToTheLimit)
{
    struct Row {
        const char* what;
        LONG kind;
        bool withWindow;
        LONG message;
        LONG expected;  // kStatusOk: a valid handle
    };
    const Row rows[] = {
        {"kind 1", 1, true, kCommsNotify, kStatusBadArgument},
        {"kind -1", -1, true, kCommsNotify, kStatusBadArgument},
        {"no window", kClientDirectIo, false, kCommsNotify, kStatusBadArgument},
        {"no message", kClientLoop, true, 0, kStatusBadArgument},
        {"direct IO", kClientDirectIo, true, kCommsNotify, kStatusOk},
    };
    std::set<LONG> handles = {client.loop, client.direct};
    LONG ret = 0;
    for (const Row& row : rows) {
        ASSERT_EQ(server->RegisterClient(row.kind, row.withWindow ? client.loopWindow.handle() : 0, row.message,
                                         nullptr, &ret),
                  S_OK);
        EXPECT_EQ(ret < 0 ? ret : kStatusOk, row.expected) << row.what;
    }
    while (ret >= 0) {
        EXPECT_TRUE(handles.insert(ret).second) << "handles are distinct";
        server->RegisterClient(kClientLoop, client.loopWindow.handle(), kCommsNotify2, kClientName, &ret);
    }
    EXPECT_EQ(ret, kStatusTooManyClients);
    EXPECT_EQ(handles.size(), kMaxClients);

    const LONG last = *handles.rbegin();
    for (LONG expected : {kStatusOk, kStatusBadHandle}) {
        ASSERT_EQ(server->UnregisterClient(last, &ret), S_OK);
        EXPECT_EQ(ret, expected) << "unregistered once only";
    }
    ASSERT_EQ(server->RegisterClient(kClientLoop, client.loopWindow.handle(), kCommsNotify2, kClientName, &ret), S_OK);
    EXPECT_GT(ret, last) << "handles are never reused";
    EXPECT_EQ(server->RegisterClient(kClientLoop, client.loopWindow.handle(), kCommsNotify2, kClientName, nullptr),
              E_POINTER);
}

TEST_F(CommsServerTest, ReadsAndWritesArePostedAndGetReplyHoldsTheRecord)
{
    ParameterRecord none{};
    EXPECT_EQ(server->GetReply(client.direct, &none), S_FALSE) << "no reply yet";
    ParameterRecord ask = record(1, 21);
    ask.objectType = 7;
    ask.reserved3 = ask.readTick = 99;
    const DWORD before = GetTickCount();
    ASSERT_EQ(client.start(false, "1", ask), kStatusOk);
    // The drive's memory answers: no worker hop, the reply is posted and the client free
    // again (the write below starts) when ReadParameter returns.
    Message m;
    ASSERT_TRUE(client.directWindow.tryGet(m)) << "posted before the call returned";
    const DWORD after = GetTickCount();
    Reply read{kStatusOk, m.wParam, static_cast<LONG>(m.lParam)};
    ASSERT_EQ(server->GetReply(client.direct, &read.record), S_OK);
    EXPECT_EQ(read.kind, kReplyRead);
    EXPECT_EQ(read.status, kStatusSuccess);
    EXPECT_EQ(read.record.objectType, 7) << "the record comes back as it was asked";
    EXPECT_EQ(read.record.menu, 1);
    EXPECT_EQ(read.record.parameter, 21);
    EXPECT_EQ(read.record.value, 15000);
    EXPECT_EQ(read.record.decimalPlaces, 1);
    EXPECT_DOUBLE_EQ(read.record.floatValue, 1500.0);
    EXPECT_EQ(read.record.reserved3, 0);
    // When the drive was read, which orders the reply against the loop's updates.
    EXPECT_LE(DWORD(read.record.readTick) - before, after - before);

    const Reply written = client.write("1", 1, 21, -1255, 1);
    EXPECT_EQ(written.kind, kReplyWriteConfirmed);
    EXPECT_EQ(written.status, kStatusSuccess);
    const auto log = net->writeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].node, "1");
    EXPECT_EQ(log[0].value, -1255);

    ParameterRecord got{};
    EXPECT_EQ(server->GetReply(client.loop, &got), E_INVALIDARG) << "a loop handle has no replies";
    EXPECT_EQ(server->GetReply(12345, &got), E_INVALIDARG);
    EXPECT_EQ(server->GetReply(client.direct, nullptr), E_POINTER);
}

// Each fault of the simulated drives as the client sees it: refused at once, or a
// posted reply of its kind and status, and the loop's update status. The node has no
// history: a node that did not answer is left out of the loop for a while.
TEST(CommsServerFaults, EachDriveFaultReachesReadsWritesAndTheLoop)
{
    struct Expected {
        LONG ret;
        WPARAM kind;
        LONG status;
    };
    struct Row {
        const char* fault;
        unsigned networkFaults, nodeFaults;
        const char* node;
        LONG menu, parameter;
        Expected read, write;
        LONG loop;
    };
    const Row rows[] = {
        {"network down", kFaultNetworkDown, 0, "1", 1, 21, {kStatusNetworkDown, 0, 0}, {kStatusNetworkDown, 0, 0},
         kStatusNetworkDown},
        {"node silent", 0, kFaultSilent, "1", 1, 21, {0, kReplyTimeout, kStatusNodeSilent},
         {0, kReplyTimeout, kStatusNodeSilent}, kStatusNodeSilent},
        {"reply time-out", 0, kFaultReplyTimeout, "1", 1, 21, {0, kReplyTimeout, kStatusReplyTimeout},
         {0, kReplyTimeout, kStatusReplyTimeout}, kStatusReplyTimeout},
        {"write rejected", 0, kFaultRejectWrites, "1", 1, 21, {0, kReplyRead, kStatusSuccess},
         {0, kReplyWriteConfirmed, kStatusWriteRejected}, kStatusOk},
        {"value out of range", 0, kFaultOutOfRange, "1", 1, 21, {0, kReplyRead, kStatusSuccess},
         {0, kReplyWriteConfirmed, kStatusOutOfRange}, kStatusOk},
        {"no such parameter", 0, 0, "2", 9, 9, {0, kReplyRead, kStatusNoSuchParameter},
         {0, kReplyWriteConfirmed, kStatusNoSuchParameter}, kStatusLoopNoSuchParameter},
    };
    for (const Row& row : rows) {
        CommsClient client(kPlant);
        ASSERT_TRUE(client.ready()) << client.why();
        const auto net = client.server()->simulatedNetwork();
        net->setNetworkFaults(row.networkFaults);
        net->setNodeFaults(row.node, row.nodeFaults);
        const Reply got[] = {client.read(row.node, row.menu, row.parameter),
                             client.write(row.node, row.menu, row.parameter, 10)};
        const Expected* expected[] = {&row.read, &row.write};
        for (int i = 0; i < 2; ++i) {
            const char* what = i ? "write" : "read";
            EXPECT_EQ(got[i].ret, expected[i]->ret) << row.fault << ", " << what;
            EXPECT_EQ(got[i].kind, expected[i]->kind) << row.fault << ", " << what;
            EXPECT_EQ(got[i].status, expected[i]->status) << row.fault << ", " << what;
        }
        Message stray;
        EXPECT_FALSE(client.directWindow.tryGet(stray)) << row.fault << ": one message per started request";

        ASSERT_EQ(client.add(row.node, row.menu, row.parameter, kLoopRateNeverMs, 7), kStatusOk) << row.fault;
        Update update;
        EXPECT_TRUE(client.drainUntil([&](const Update& u) {
            update = u;
            return true;
        })) << row.fault;
        EXPECT_EQ(update.status, row.loop) << row.fault;
        EXPECT_EQ(update.owner, 7u) << row.fault;
        EXPECT_EQ(update.record.menu, row.menu) << row.fault << ": the record names the parameter";
    }
}

TEST_F(CommsServerTest, BadCallsAreRefusedWithAStatusAndPostNothing)
{
    enum class Handle { Own, OtherKind, Unregistered };
    struct Row {
        const char* what;
        Handle handle;
        const wchar_t* node;
        bool withRecord;
        LONG menu, parameter;
        LONG expected;
        LONG expectedRemove;  // RemoveFromLoop names nothing it does not hold
    };
    const Row rows[] = {
        {"unregistered handle", Handle::Unregistered, L"1", true, 1, 21, kStatusBadHandle, kStatusBadHandle},
        {"handle of the other kind", Handle::OtherKind, L"1", true, 1, 21, kStatusBadHandle, kStatusBadHandle},
        {"null node", Handle::Own, nullptr, true, 1, 21, kStatusBadArgument, kStatusBadArgument},
        {"empty node", Handle::Own, L"", true, 1, 21, kStatusBadArgument, kStatusBadArgument},
        {"null record", Handle::Own, L"1", false, 0, 0, kStatusBadRecord, kStatusBadRecord},
        {"negative menu", Handle::Own, L"1", true, -1, 21, kStatusBadRecord, kStatusBadRecord},
        {"parameter above 65535", Handle::Own, L"1", true, 1, 70000, kStatusBadRecord, kStatusBadRecord},
        {"unknown node", Handle::Own, L"9", true, 1, 21, kStatusUnknownNode, kStatusNotInLoop},
        {"never added", Handle::Own, L"1", true, 1, 21, kStatusOk, kStatusNotInLoop},
    };
    for (const Row& row : rows) {
        auto handle = [&](LONG own, LONG other) {
            return row.handle == Handle::Own ? own : row.handle == Handle::OtherKind ? other : 999;
        };
        ParameterRecord r = record(row.menu, row.parameter);
        ParameterRecord* rp = row.withRecord ? &r : nullptr;
        LONG ret = kNotStarted;
        if (row.expected != kStatusOk) {
            ASSERT_EQ(server->ReadParameter(handle(client.direct, client.loop), row.node, rp, &ret), S_OK);
            EXPECT_EQ(ret, row.expected) << "read, " << row.what;
            ASSERT_EQ(server->WriteParameter(handle(client.direct, client.loop), row.node, rp, &ret), S_OK);
            EXPECT_EQ(ret, row.expected) << "write, " << row.what;
            ASSERT_EQ(server->AddToLoop(handle(client.loop, client.direct), 1, row.node, rp, 100, &ret), S_OK);
            EXPECT_EQ(ret, row.expected) << "add to loop, " << row.what;
        }
        ASSERT_EQ(server->RemoveFromLoop(handle(client.loop, client.direct), 1, row.node, rp, &ret), S_OK);
        EXPECT_EQ(ret, row.expectedRemove) << "remove from loop, " << row.what;
    }
    EXPECT_EQ(server->ReadParameter(client.direct, L"1", nullptr, nullptr), E_POINTER);

    // A drain "until -101" must end for any handle, or the caller would spin.
    LONG ret = 0;
    for (LONG handle : {LONG(-1), client.direct, LONG(999)}) {
        ULONGLONG owner = 77;
        ParameterRecord r = record(5, 5);
        ASSERT_EQ(server->GetNextUpdate(handle, &owner, nullptr, &r, &ret), S_OK);
        EXPECT_EQ(ret, kStatusNoMoreUpdates) << "handle " << handle;
        EXPECT_EQ(owner, 0u);
        EXPECT_EQ(r.menu, 0);
    }
    ULONGLONG owner = 0;
    ParameterRecord r{};
    EXPECT_EQ(server->GetNextUpdate(client.loop, nullptr, nullptr, &r, &ret), E_POINTER);
    EXPECT_EQ(server->GetNextUpdate(client.loop, &owner, nullptr, nullptr, &ret), E_POINTER);
    expectNoMessage("refused calls");
}

// One request at a time per direct client; another client's read that the drive's
// memory could answer must not overtake a request still with its drive.
TEST_F(CommsServerTest, ARequestWithASlowDriveHoldsItsClientAndQueuesTheOthers)
{
    TestWindow otherWindow;
    LONG other = -1;
    ASSERT_EQ(server->RegisterClient(kClientDirectIo, otherWindow.handle(), kCommsNotify, kClientName, &other), S_OK);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(net->setNodeLatencyMs("1", 500));
    ASSERT_EQ(client.start(false, "1", record(1, 21)), kStatusOk);
    EXPECT_EQ(client.start(false, "1", record(1, 21)), kStatusBusy);
    EXPECT_EQ(client.start(true, "1", record(1, 21, 1, 0)), kStatusBusy);
    ParameterRecord ask = record(1, 1);
    LONG ret = kNotStarted;
    ASSERT_EQ(server->ReadParameter(other, L"2", &ask, &ret), S_OK);
    ASSERT_EQ(ret, kStatusOk);
    Message m;
    EXPECT_FALSE(client.directWindow.tryGet(m)) << "a read that waits for its drive comes later";
    EXPECT_FALSE(otherWindow.tryGet(m)) << "answered while the first read was still with its drive";
    const Reply late = client.reply();
    EXPECT_EQ(late.kind, kReplyRead);
    EXPECT_EQ(late.record.value, 15000);
    ASSERT_TRUE(otherWindow.waitFor(m));
    EXPECT_EQ(m.wParam, kReplyRead);
    EXPECT_EQ(m.lParam, kStatusSuccess);
    ASSERT_TRUE(net->setNodeLatencyMs("1", 0));
    EXPECT_EQ(client.read("1", 1, 21).kind, kReplyRead) << "free again after the reply";
}

TEST_F(CommsServerTest, NothingIsPostedForAClientThatUnregisteredMeanwhile)
{
    ASSERT_TRUE(net->setNodeLatencyMs("1", 100));
    ASSERT_EQ(client.start(false, "1", record(1, 21)), kStatusOk);
    LONG ret = 0;
    ASSERT_EQ(server->UnregisterClient(client.direct, &ret), S_OK);
    // The loop entry behind the read proves the worker went on past it.
    ASSERT_EQ(client.add("1", 1, 21, kLoopRateNeverMs, 1), kStatusOk);
    Message m;
    EXPECT_TRUE(client.loopWindow.waitFor(m));
    expectNoMessage("after the unregistered client's read");
}

TEST_F(CommsServerTest, LoopUpdatesAreAnnouncedOnceDrainedUntil101AndFollowTheDrive)
{
    ASSERT_EQ(client.add("1", 1, 21, 10, 0x1111), kStatusOk);
    ASSERT_EQ(client.add("2", 1, 1, 10, 0x2222), kStatusOk);
    ASSERT_EQ(client.add("1", 42, 7, 10, 0x3333), kStatusOk);
    Message first;
    ASSERT_TRUE(client.loopWindow.waitFor(first));
    EXPECT_EQ(first.message, kCommsNotify2);
    EXPECT_EQ(first.wParam, kUpdatesWaiting);
    const DWORD changed = GetTickCount();
    ASSERT_TRUE(net->setDriveValue("1", 1, 21, 222.2));
    // Readings go on every 10 ms, but while updates wait nothing more is posted, and
    // each entry's update holds its latest reading.
    Message more;
    EXPECT_FALSE(client.loopWindow.waitFor(more, 150)) << "posted " << more.message << " while updates were waiting";
    EXPECT_EQ(server->queuedUpdates(client.loop), 3u) << "one update per entry, however many readings";

    std::map<ULONGLONG, Update> byOwner;
    for (const Update& u : client.drain())
        byOwner[u.owner] = u;
    ASSERT_EQ(byOwner.size(), 3u);
    EXPECT_EQ(byOwner[0x1111].status, kStatusOk);
    EXPECT_EQ(byOwner[0x1111].node, "1");
    EXPECT_EQ(byOwner[0x1111].record.value, 2222);
    EXPECT_LT(DWORD(byOwner[0x1111].record.readTick) - changed, 0x80000000u) << "stamped when read, after the change";
    EXPECT_EQ(byOwner[0x1111].record.decimalPlaces, 1);
    EXPECT_EQ(byOwner[0x2222].node, "2");
    EXPECT_EQ(byOwner[0x2222].record.value, 5);
    EXPECT_EQ(byOwner[0x3333].record.menu, 42);
    EXPECT_EQ(byOwner[0x3333].record.parameter, 7);

    // Empty again: the next reading is announced again.
    EXPECT_TRUE(client.drainUntil([](const Update& u) { return u.owner == 0x2222; }));

    EXPECT_EQ(client.remove("1", 1, 21, 0x1111), kStatusOk);
    EXPECT_EQ(client.remove("1", 1, 21, 0x1111), kStatusNotInLoop) << "removed twice";
    EXPECT_EQ(server->loopEntries(client.loop), 2u);
}

TEST_F(CommsServerTest, ASilentNodeIsAskedOnceNotForEveryBlock)
{
    net->setNodeFaults("1", kFaultSilent);
    const std::uint64_t before = net->requestCount();
    // Three blocks of the silent node (different menus) and one of a healthy node.
    for (LONG menu : {1, 2, 3})
        ASSERT_EQ(client.add("1", menu, 1, kLoopRateNeverMs, menu), kStatusOk);
    ASSERT_EQ(client.add("2", 1, 1, kLoopRateNeverMs, 4), kStatusOk);
    std::map<ULONGLONG, LONG> statusByOwner;
    ASSERT_TRUE(client.drainUntil([&](const Update& u) {
        statusByOwner[u.owner] = u.status;
        return statusByOwner.size() == 4;
    }));
    EXPECT_EQ(statusByOwner, (std::map<ULONGLONG, LONG>{
                                 {1, kStatusNodeSilent}, {2, kStatusNodeSilent}, {3, kStatusNodeSilent}, {4, kStatusOk}}));
    EXPECT_EQ(net->requestCount() - before, 2u) << "one wait for the silent node, one read of the healthy one";
}

TEST(CommsServerSettings, LoadAndApplyAnswerEachProblemWithItsStatus)
{
    ServerRef server;
    TestWindow window;
    LONG protocol = -1, ret = 0, direct = -1;
    ParameterRecord r = record(1, 21);
    ASSERT_EQ(server->RegisterClient(kClientDirectIo, window.handle(), kCommsNotify, kClientName, &direct), S_OK);
    ASSERT_EQ(server->ReadParameter(direct, L"1", &r, &ret), S_OK);
    EXPECT_EQ(ret, kStatusNotConfigured) << "before any settings apply";
    ASSERT_EQ(server->UnregisterClient(direct, &ret), S_OK);

    struct Row {
        const char* what;
        const char* text;  // nullptr: no such file
        LONG loadStatus;
        LONG protocol;     // after a successful load
    };
    const Row rows[] = {
        {"missing file: the default network", nullptr, kStatusOk, kProtocolSimulated},
        {"malformed", "[comms\n", kStatusSettingsSyntax, -1},
        {"Modbus TCP", "[comms]\nprotocol = 1\n", kStatusOk, kProtocolModbusTcp},
        {"simulated", kPlant, kStatusOk, kProtocolSimulated},
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
        EXPECT_EQ(ret, kStatusOk) << row.what;
        if (!row.text) {
            EXPECT_EQ(server->simulatedNetwork()->readParameter("Drive 5", 1, 21).value, 15000) << row.what;
        }
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
    CommsClient client(kPlant);
    ASSERT_TRUE(client.ready()) << client.why();
    comms::CommsServer* server = client.server();
    auto net = server->simulatedNetwork();
    ASSERT_EQ(net->writeParameter("1", 1, 21, 5, 0), kStatusOk);
    LONG protocol = 0, ret = 0;

    // The same text again (going online once more): accepted, the drives keep their state.
    TempSettingsFile same(kPlant);
    ASSERT_EQ(server->LoadSettingsFile(same.widePath().c_str(), &protocol, &ret), S_OK);
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusOk);
    EXPECT_EQ(server->simulatedNetwork(), net);

    TempSettingsFile other("[node 7]\n");
    ASSERT_EQ(server->LoadSettingsFile(other.widePath().c_str(), &protocol, &ret), S_OK);
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusSettingsInUse) << "another user is online";
    for (LONG handle : {client.direct, client.loop})
        ASSERT_EQ(server->UnregisterClient(handle, &ret), S_OK);
    ASSERT_EQ(server->ApplySettings(&protocol, &ret), S_OK);
    EXPECT_EQ(ret, kStatusOk);
    EXPECT_NE(server->simulatedNetwork(), net);
    EXPECT_EQ(server->simulatedNetwork()->checkNode("7"), kStatusOk);
}

TEST(CommsServerObject, InterfacesAndTheSettingsDialogStandIn)
{
    ServerRef server;
    TVCmnComPtr<ICommsServer> same;
    ASSERT_EQ(server->QueryInterface(IID_ICommsServer, same.putVoid()), S_OK);
    EXPECT_EQ(same.get(), static_cast<ICommsServer*>(server.p));
    void* none = &none;
    EXPECT_EQ(server->QueryInterface(IID_ICommsSettingsDialog, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    TVCmnComPtr<ICommsSettingsDialog> dialog;
    ASSERT_EQ(createCommsSettingsDialog(IID_ICommsSettingsDialog, dialog.putVoid()), S_OK);
    LONG ret = -1;
    ASSERT_EQ(dialog->ShowSettingsDialog(0, L"VUDOvoveRaduzeri.ini", 0, &ret), S_OK);
    EXPECT_EQ(ret, kSettingsUnchanged);
    ASSERT_EQ(dialog->ShowSettingsDialog(0, nullptr, 0, &ret), S_OK);
    EXPECT_EQ(ret, kStatusBadArgument);
    EXPECT_EQ(dialog->ShowSettingsDialog(0, L"x.ini", 0, nullptr), E_POINTER);
    EXPECT_EQ(dialog.detach()->Release(), 0u) << "the only reference";
}

}  // namespace
