// The comms server against a libmodbus server holding the drive registers, on TCP
// (127.0.0.1) and on RTU (a pseudo-terminal pair made by socat): what the client reads
// and writes is what the registers hold, loop parameters are read in blocks, refusals
// leave the registers, and a drive that goes away or falls silent is reported until it
// is back; TCP's connection back-off and bad replies.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>

#include "commsserver/ModbusLink.h"
#include "tests/commsserver_modbus/ModbusTestServer.h"
#include "tests/commsserver_modbus/ModbusTestSupport.h"

namespace modbustest {
namespace {

constexpr const char* kFastReconnect = "reconnectMinMs = 20\nreconnectMaxMs = 100\n";
constexpr int kUnit = 3;

// Node "127.0.0.1" in high-first order; node "drive-b" on the same server (and
// connection) in low-first order, its registers 5000 further on. How values are coded
// in registers is the register map's test; here, what crosses the wire.
std::string settingsFor(int port, const std::string& extra = kFastReconnect)
{
    return "[comms]\nprotocol = 1\nreplyTimeoutMs = 300\n" + extra +
           "\n[node 127.0.0.1]\nport = " + std::to_string(port) +
           "\n[node drive-b]\nhost = 127.0.0.1\nport = " + std::to_string(port) +
           "\nregisterBase = 5000\nwordOrder = lowFirst\n"
           "[parameter * #20.5]\ntype = int32\n"
           "[parameter * #10.1]\ntype = bool\nwritable = no\n";
}

// The same drives on a serial line: both nodes are unit 3, on one end of a pty pair.
std::string rtuSettings(const std::string& port, const std::string& extra)
{
    return "[comms]\nprotocol = 2\nserialPort = " + port + "\nbaudRate = 19200\nreplyTimeoutMs = 300\n" +
           kFastReconnect + extra + "\n[node 127.0.0.1]\nunitId = 3\n[node drive-b]\nunitId = 3\n" +
           "registerBase = 5000\nwordOrder = lowFirst\n[parameter * #20.5]\ntype = int32\n"
           "[parameter * #10.1]\ntype = bool\nwritable = no\n";
}

enum class Line { Tcp, Rtu };

class ModbusDrive : public ::testing::TestWithParam<Line> {
protected:
    void SetUp() override
    {
        if (GetParam() == Line::Rtu) {
            pty = std::make_unique<PtyPair>();
            ASSERT_TRUE(pty->error().empty()) << pty->error();
            drive = std::make_unique<ModbusTestServer>(pty->driveEnd(), kUnit);
        } else {
            drive = std::make_unique<ModbusTestServer>();
        }
        ASSERT_TRUE(drive->start()) << drive->error();
    }
    std::string settings(const std::string& extra = "") const
    {
        return pty ? rtuSettings(pty->commsEnd(), extra) : settingsFor(drive->port(), kFastReconnect + extra);
    }
    // A drive gone from TCP closes the connection; on a serial line it just stops answering.
    LONG goneStatus() const { return pty ? kStatusNodeSilent : kStatusNetworkDown; }

    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<ModbusTestServer> drive;
};

INSTANTIATE_TEST_SUITE_P(Lines, ModbusDrive, ::testing::Values(Line::Tcp, Line::Rtu),
                         [](const auto& info) { return info.param == Line::Tcp ? "Tcp" : "Rtu"; });

TEST_P(ModbusDrive, ReadsAndWritesReachTheNodesOwnRegisters)
{
    DriveClient client(settings());
    ASSERT_TRUE(client.ready()) << client.why();
    drive->setReg(7005, 0x86A0);
    drive->setReg(7006, 0x0001);
    const Reply r = client.read("drive-b", 20, 5);
    ASSERT_EQ(r.ret, kStatusOk);
    EXPECT_EQ(r.kind, kReplyRead);
    EXPECT_EQ(r.status, kStatusSuccess);
    EXPECT_EQ(r.record.value, 100000) << "both registers of a 32-bit parameter";

    const Reply w = client.write("drive-b", 20, 5, 70000);
    EXPECT_EQ(w.kind, kReplyWriteConfirmed);
    EXPECT_EQ(w.status, kStatusSuccess);
    EXPECT_EQ(drive->reg(7005), 0x1170);
    EXPECT_EQ(drive->reg(7006), 0x0001);
    EXPECT_EQ(drive->reg(2005), 0) << "node 127.0.0.1's register is not touched";
}

TEST_P(ModbusDrive, LoopReadsContiguousParametersInBlocksOf125Registers)
{
    constexpr LONG kCount = 300;
    DriveClient client(settings("menuStride = 1000\n"));
    ASSERT_TRUE(client.ready()) << client.why();
    for (LONG p = 0; p < kCount; ++p)
        ASSERT_EQ(client.add("127.0.0.1", 2, p, kLoopRateNeverMs, 1000 + p), kStatusOk);
    std::set<ULONGLONG> seen;
    ASSERT_TRUE(client.drainUntil([&](const Update& u) {
        seen.insert(u.owner);
        return seen.size() == kCount;
    })) << seen.size() << " of " << kCount << " parameters came";

    // One cycle of the whole loop: 125 + 125 + 50 registers.
    for (LONG p = 0; p < kCount; ++p)
        drive->setReg(2000 + p, static_cast<std::uint16_t>(p + 7));
    const auto before = drive->requests();
    seen.clear();
    client.server()->pollLoopNow();
    ASSERT_TRUE(client.drainUntil([&](const Update& u) {
        EXPECT_EQ(u.record.value, static_cast<LONG>(u.owner - 1000) + 7) << "owner " << u.owner;
        seen.insert(u.owner);
        return seen.size() == kCount;
    }));
    EXPECT_EQ(drive->requests() - before, 3u);

    // A register the drive lacks: only its parameter fails, the others keep coming.
    drive->setMissing(2150, true);
    std::map<ULONGLONG, LONG> statuses;
    client.server()->pollLoopNow();
    ASSERT_TRUE(client.drainUntil([&](const Update& u) {
        statuses[u.owner] = u.status;
        return statuses.size() == kCount;
    }));
    for (const auto& [owner, status] : statuses)
        EXPECT_EQ(status, owner == 1150 ? kStatusLoopNoSuchParameter : kStatusOk) << "owner " << owner;
}

TEST_P(ModbusDrive, AGoneDriveReportsItUntilItIsBack)
{
    DriveClient client(settings());
    ASSERT_TRUE(client.ready()) << client.why();
    for (LONG p = 0; p < 3; ++p) {
        drive->setReg(300 + p, static_cast<std::uint16_t>(10 + p));
        ASSERT_EQ(client.add("127.0.0.1", 3, p, 20, p + 1), kStatusOk);
    }
    // A node that went quiet is left out of the loop for a while: allow for it coming back.
    auto untilAll = [&](LONG status, LONG valueBase) {
        std::set<ULONGLONG> seen;
        return client.drainUntil(
            [&, status, valueBase](const Update& u) {
                if (u.status == status && (status != kStatusOk || u.record.value == valueBase + LONG(u.owner) - 1))
                    seen.insert(u.owner);
                return seen.size() == 3;
            },
            30000);
    };
    ASSERT_TRUE(untilAll(kStatusOk, 10));

    drive->stop();
    EXPECT_TRUE(untilAll(goneStatus(), 0)) << "every loop parameter reports the drive gone";
    const Reply down = client.read("127.0.0.1", 3, 0);
    EXPECT_TRUE(down.ret == goneStatus() || (down.ret == kStatusOk && down.status == goneStatus()))
        << "ret " << down.ret << " status " << down.status;

    for (LONG p = 0; p < 3; ++p)
        drive->setReg(300 + p, static_cast<std::uint16_t>(50 + p));
    ASSERT_TRUE(drive->start()) << drive->error();
    EXPECT_TRUE(untilAll(kStatusOk, 50)) << "the loop reconnects and reads the new values";
    const Reply back = client.read("127.0.0.1", 3, 1);
    EXPECT_EQ(back.status, kStatusSuccess);
    EXPECT_EQ(back.record.value, 51);
}

TEST_P(ModbusDrive, RefusedRequestsLeaveTheRegisters)
{
    DriveClient client(settings("anyNode = no\n"));
    ASSERT_TRUE(client.ready()) << client.why();
    drive->setReg(1001, 1);
    drive->setMissing(303, true);
    struct Row {
        const char* what;
        bool write;
        const char* node;
        LONG menu, parameter;
        LONG ret;
        WPARAM kind;
        LONG status;
        bool sent;  // the drive is asked at all
    };
    // The register map's own refusals (range, register rule) are its test's.
    const Row rows[] = {
        {"read-only parameter", true, "127.0.0.1", 10, 1, kStatusOk, kReplyWriteConfirmed, kStatusWriteRejected, false},
        {"register the drive lacks (read)", false, "127.0.0.1", 3, 3, kStatusOk, kReplyRead, kStatusNoSuchParameter,
         true},
        {"register the drive lacks (write)", true, "127.0.0.1", 3, 3, kStatusOk, kReplyWriteConfirmed,
         kStatusNoSuchParameter, true},
        {"node not in the settings", false, "10.9.9.9", 1, 21, kStatusUnknownNode, 0, 0, false},
    };
    for (const Row& row : rows) {
        const auto before = drive->requests();
        Reply r = row.write ? client.write(row.node, row.menu, row.parameter, 5) : client.read(row.node, row.menu, row.parameter);
        EXPECT_EQ(r.ret, row.ret) << row.what;
        EXPECT_EQ(r.kind, row.kind) << row.what;
        EXPECT_EQ(r.status, row.status) << row.what;
        EXPECT_EQ(drive->requests() != before, row.sent) << row.what;
    }
    EXPECT_EQ(drive->reg(1001), 1);
}

TEST_P(ModbusDrive, SilentDriveTimesOutAndAnswersAgainAfterwards)
{
    DriveClient client(settings());
    ASSERT_TRUE(client.ready()) << client.why();
    drive->setReg(302, 42);
    drive->setSilent(true);
    const Reply read = client.read("127.0.0.1", 3, 2);
    EXPECT_EQ(read.kind, kReplyTimeout);
    EXPECT_EQ(read.status, kStatusNodeSilent);
    const Reply write = client.write("127.0.0.1", 3, 2, 43);
    EXPECT_EQ(write.kind, kReplyTimeout);
    EXPECT_EQ(write.status, kStatusReplyTimeout) << "a write whose answer is late may still have been applied";
    drive->setSilent(false);
    const Reply again = client.read("127.0.0.1", 3, 2);
    EXPECT_EQ(again.status, kStatusSuccess);
    EXPECT_EQ(again.record.value, 42) << "this drive dropped the write it did not answer";
}

TEST(ModbusTcpNoDrive, RefusedConnectionsBackOff)
{
    // A port with nothing behind it: bind one and close it again.
    int port = 0;
    {
        ModbusTestServer probe;
        ASSERT_TRUE(probe.start()) << probe.error();
        port = probe.port();
    }
    DriveClient client(settingsFor(port, "reconnectMinMs = 2000\nreconnectMaxMs = 4000\n"));
    ASSERT_TRUE(client.ready()) << client.why();
    const Reply first = client.read("127.0.0.1", 3, 2);
    EXPECT_EQ(first.ret, kStatusOk) << "the first request tries to connect";
    EXPECT_EQ(first.status, kStatusNetworkDown);
    const Reply second = client.read("127.0.0.1", 3, 2);
    EXPECT_EQ(second.ret, kStatusNetworkDown) << "while backing off, refused at once";
}

// ---- replies of a misbehaving drive, straight through the link ----

TEST(ModbusTcpBadReplies, EndTheReadWithAnErrorWithinTheReplyTime)
{
    using Bytes = std::vector<std::uint8_t>;
    // A reply to "read one register" built from the request's transaction id.
    auto frame = [](const Bytes& request, Bytes pdu) {
        Bytes out = {request[0], request[1], 0, 0, 0, static_cast<std::uint8_t>(pdu.size() + 1), request[6]};
        out.insert(out.end(), pdu.begin(), pdu.end());
        return out;
    };
    struct Row {
        const char* what;
        std::function<Bytes(const Bytes&)> reply;
        LONG status;
    };
    // The faults once found here; other mismatching replies (another transaction's id)
    // are the reply fuzzer's, an exception for a missing register the refused-requests test's.
    const Row rows[] = {
        {"cut-off frame", [&](const Bytes& r) { return frame(r, {3, 2, 0}); }, kStatusNodeSilent},
        {"exception code 0", [&](const Bytes& r) { return frame(r, {0x83, 0}); }, kStatusBadReply},
        {"exception code 9", [&](const Bytes& r) { return frame(r, {0x83, 9}); }, kStatusBadReply},
    };
    for (const Row& row : rows) {
        ModbusTestServer drive;
        drive.setRawReply(row.reply);
        ASSERT_TRUE(drive.start()) << drive.error();
        std::string error;
        auto link = comms::ModbusLink::tcp("127.0.0.1", drive.port(), error);
        ASSERT_TRUE(link) << error;
        link->setTimeoutMs(50);
        ASSERT_EQ(link->open().status, kStatusOk) << row.what;
        std::uint16_t value = 0xABCD;
        const auto start = std::chrono::steady_clock::now();
        const comms::ModbusFailure failure = link->readRegisters(1, 302, 1, &value);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(failure.status, row.status) << row.what << ": " << link->lastError();
        // Reply time-out and byte gap of 50 ms each, with room for a loaded machine;
        // libmodbus's own half-second byte gap would be far beyond it.
        EXPECT_LT(took, std::chrono::milliseconds(400)) << row.what;
        link->close();
    }
}

}  // namespace
}  // namespace modbustest
