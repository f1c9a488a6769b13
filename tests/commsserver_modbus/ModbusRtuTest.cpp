// The comms server on Modbus RTU: a libmodbus RTU server on one end of a pseudo-terminal
// pair made by socat, the comms server on the other. Values, blocks and a drive that
// stops answering, as on TCP.
#include <gtest/gtest.h>

#include <set>

#include "tests/commsserver_modbus/ModbusTestServer.h"
#include "tests/commsserver_modbus/ModbusTestSupport.h"

namespace modbustest {
namespace {

constexpr int kUnit = 3;

class ModbusRtu : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.error().empty()) << pty.error();
        drive = std::make_unique<ModbusTestServer>(pty.driveEnd(), kUnit);
        ASSERT_TRUE(drive->start()) << drive->error();
    }
    std::string settings() const
    {
        return "[comms]\nprotocol = 2\nserialPort = " + pty.commsEnd() +
               "\nbaudRate = 19200\nreplyTimeoutMs = 300\nreconnectMinMs = 20\nreconnectMaxMs = 100\n"
               "menuStride = 1000\n"
               "[node 10.0.1.40:3]\n[node 7]\n"
               "[parameter * #1.21]\ntype = int16\ndecimals = 1\n"
               "[parameter * #5.5]\ntype = int32\n";
    }

    PtyPair pty;
    std::unique_ptr<ModbusTestServer> drive;
};

TEST_F(ModbusRtu, ReadsAndWritesMatchTheRegistersOfTheUnit)
{
    DriveClient client(settings());
    ASSERT_TRUE(client.ready()) << client.why();
    drive->setReg(5005, 0x0001);
    drive->setReg(5006, 0x0000);
    const Reply wide = client.read("10.0.1.40:3", 5, 5);
    EXPECT_EQ(wide.status, kStatusSuccess);
    EXPECT_EQ(wide.record.value, 65536) << "both registers of a 32-bit parameter in one frame";
    EXPECT_EQ(client.read("10.0.1.40:3", 20, 5).status, kStatusNoSuchParameter) << "beyond the drive's registers";
    const Reply w = client.write("10.0.1.40:3", 1, 21, 2500, 1);
    EXPECT_EQ(w.status, kStatusSuccess);
    EXPECT_EQ(drive->reg(1021), 2500);

    // Unit 7 is on the same line and does not answer.
    const Reply other = client.read("7", 1, 21);
    EXPECT_EQ(other.kind, kReplyTimeout);
    EXPECT_EQ(other.status, kStatusNodeSilent);
}

TEST_F(ModbusRtu, LoopReadsBlocksAndRecoversWhenTheDriveAnswersAgain)
{
    constexpr LONG kCount = 200;
    DriveClient client(settings());
    ASSERT_TRUE(client.ready()) << client.why();
    for (LONG p = 0; p < kCount; ++p) {
        drive->setReg(3000 + p, static_cast<std::uint16_t>(p));
        ASSERT_EQ(client.add("10.0.1.40:3", 3, p, kLoopRateNeverMs, p + 1), kStatusOk);
    }
    std::set<ULONGLONG> seen;
    ASSERT_TRUE(client.drainUntil([&](const Update& u) {
        EXPECT_EQ(u.record.value, LONG(u.owner) - 1);
        seen.insert(u.owner);
        return seen.size() == kCount;
    }));
    const auto before = drive->requests();
    seen.clear();
    client.server()->pollLoopNow();
    ASSERT_TRUE(client.drainUntil([&](const Update& u) {
        seen.insert(u.owner);
        return seen.size() == kCount;
    }));
    EXPECT_EQ(drive->requests() - before, 2u) << "125 + 75 registers";

    drive->stop();
    std::set<ULONGLONG> silent;
    client.server()->pollLoopNow();
    EXPECT_TRUE(client.drainUntil([&](const Update& u) {
        if (u.status == kStatusNodeSilent)
            silent.insert(u.owner);
        return silent.size() == kCount;
    })) << "a drive that stops answering leaves the loop silent";

    drive->setReg(3000, 77);
    ASSERT_TRUE(drive->start()) << drive->error();
    // Polled every 100 ms from now on: the loop may leave a node that went quiet alone
    // for a while, and the first answers may still belong to requests sent meanwhile.
    ASSERT_EQ(client.add("10.0.1.40:3", 3, 0, 100, 1), kStatusOk);
    EXPECT_TRUE(client.drainUntil(
        [&](const Update& u) { return u.owner == 1 && u.status == kStatusOk && u.record.value == 77; }, 30000));
}

}  // namespace
}  // namespace modbustest
