// The simulated drive network: behaviours over time, faults, writes and the write log.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <set>
#include <thread>

#include "CommsTestSupport.h"

using namespace comms;

namespace {

using commstest::kPlant;

CommsSettings plant()
{
    CommsSettings s;
    std::string error;
    EXPECT_EQ(parseCommsSettings(kPlant, s, error), kStatusOk) << error;
    return s;
}

LONG valueAt(SimulatedNetwork& net, std::uint64_t ms, LONG menu, LONG parameter)
{
    net.setClockMs(ms);
    const ParameterReading r = net.readParameter("1", menu, parameter);
    EXPECT_EQ(r.status, kStatusOk) << "#" << menu << "." << parameter << " at " << ms << " ms";
    return r.value;
}

TEST(SimulatedNetwork, BehavioursFollowTheClock)
{
    SimulatedNetwork net(plant());
    struct Row {
        const char* what;
        std::uint64_t ms;
        LONG menu, parameter;
        LONG expected;
    };
    const Row rows[] = {
        {"setpoint is constant", 5000, 1, 21, 15000},
        {"ramp after 1 s at 10/s", 1000, 7, 1, 100},
        {"ramp wraps at max", 10500, 7, 1, 50},
        {"sine at a quarter period", 250, 5, 5, 510},
        {"sine at three quarters", 750, 5, 5, 490},
        {"bool", 0, 10, 1, 1},
    };
    for (const Row& row : rows)
        EXPECT_EQ(valueAt(net, row.ms, row.menu, row.parameter), row.expected) << row.what;
}

TEST(SimulatedNetwork, SpeedFollowsItsSetpointWithTheLag)
{
    SimulatedNetwork net(plant());
    // One time constant: 1 - 1/e of the way from 0 to 1500.0 rpm.
    EXPECT_NEAR(valueAt(net, 1000, 3, 2), 9482, 1);
    // Intermediate looks do not change the curve.
    EXPECT_NEAR(valueAt(net, 1500, 3, 2), std::lround(15000 * (1 - std::exp(-1.5))), 1);
    EXPECT_NEAR(valueAt(net, 20000, 3, 2), 15000, 1);
    // A new setpoint: speed moves toward it, starting where it was.
    ASSERT_EQ(net.writeParameter("1", 1, 21, -5000, 1), kStatusOk);
    EXPECT_NEAR(valueAt(net, 21000, 3, 2), std::lround(15000 + (-5000 - 15000) * (1 - std::exp(-1.0))), 1);
}

TEST(SimulatedNetwork, NoiseStaysWithinItsAmplitudeAndVaries)
{
    SimulatedNetwork net(plant());
    std::set<LONG> seen;
    for (int i = 0; i < 50; ++i) {
        const LONG v = valueAt(net, 100, 4, 1);
        EXPECT_GE(v, 1225);
        EXPECT_LE(v, 1275);
        seen.insert(v);
    }
    EXPECT_GT(seen.size(), 5u);
}

// Which writes each fault lets reach the drive, as the write observer and the log see
// them (what the client is told is the comms server's test); a node's fault leaves the
// other node alone.
TEST(SimulatedNetwork, EachFaultDecidesWhetherTheWriteIsAppliedAndObserved)
{
    SimulatedNetwork net(plant());
    std::vector<WriteLogEntry> seen;
    std::vector<std::size_t> logSizes;
    // Reading the log from inside proves the network's lock is not held around the call.
    net.setWriteObserver([&](const WriteLogEntry& e) {
        seen.push_back(e);
        logSizes.push_back(net.writeLog().size());
    });
    struct Row {
        const char* fault;
        unsigned network, node;
        LONG value, status;
        bool applied;
    };
    const Row rows[] = {
        {"none", 0, 0, 1234, kStatusOk, true},
        {"network down", kFaultNetworkDown, 0, 1, kStatusNetworkDown, false},
        {"node silent", 0, kFaultSilent, 2, kStatusNodeSilent, false},
        {"reply time-out: applied all the same", 0, kFaultReplyTimeout, 1111, kStatusReplyTimeout, true},
        {"write rejected", 0, kFaultRejectWrites, 3, kStatusWriteRejected, false},
        {"value out of range", 0, kFaultOutOfRange, 4, kStatusOutOfRange, false},
    };
    for (const Row& row : rows) {
        net.setNetworkFaults(row.network);
        ASSERT_TRUE(net.setNodeFaults("1", row.node));
        EXPECT_EQ(net.networkUp(), row.network == 0) << row.fault;
        const std::size_t before = seen.size();
        EXPECT_EQ(net.writeParameter("1", 1, 21, row.value, 1), row.status) << row.fault;
        EXPECT_EQ(seen.size(), before + (row.applied ? 1 : 0)) << row.fault;
        EXPECT_EQ(net.readParameter("2", 1, 1).status, row.network ? kStatusNetworkDown : kStatusOk) << row.fault;
    }
    const std::vector<WriteLogEntry> log = net.writeLog();
    ASSERT_EQ(seen.size(), 2u);
    ASSERT_EQ(log.size(), 2u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].sequence, log[i].sequence);
        EXPECT_EQ(seen[i].value, log[i].value);
        EXPECT_EQ(logSizes[i], i + 1) << "called once the write is in the log";
    }
    net.setWriteObserver(nullptr);
    ASSERT_TRUE(net.setNodeFaults("1", kFaultNone));
    EXPECT_EQ(net.writeParameter("1", 1, 21, 10, 1), kStatusOk);
    EXPECT_EQ(seen.size(), 2u) << "no observer, no call";
}

// A block's readings fail one by one: a parameter's fault, or a parameter the node lacks.
TEST(SimulatedNetwork, ABlockFailsOnlyWhereItsParametersDo)
{
    SimulatedNetwork net(plant());
    ASSERT_TRUE(net.setParameterFaults("1", 1, 21, kFaultSilent));
    EXPECT_FALSE(net.setParameterFaults("2", 9, 9, kFaultSilent)) << "node 2 has no #9.9";
    struct Row {
        const char* node;
        LONG first;
        LONG status[3];
    };
    const Row rows[] = {
        {"1", 20, {kStatusOk, kStatusNodeSilent, kStatusOk}},
        {"2", 0, {kStatusNoSuchParameter, kStatusOk, kStatusNoSuchParameter}},
    };
    for (const Row& row : rows) {
        ParameterReading block[3];
        ASSERT_EQ(net.readBlock(row.node, 1, row.first, block), kStatusOk) << row.node;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(block[i].status, row.status[i]) << "node " << row.node << " #1." << row.first + i;
    }
}

TEST(SimulatedNetwork, WritesAreCheckedScaledAndLogged)
{
    SimulatedNetwork net(plant());
    struct Row {
        const char* what;
        const char* node;
        LONG menu, parameter, value, decimalPlaces;
        LONG status;
    };
    const Row rows[] = {
        {"setpoint 123.4 rpm", "1", 1, 21, 1234, 1, kStatusOk},
        {"setpoint 12 rpm, no decimals", "1", 1, 21, 12, 0, kStatusOk},
        {"above max", "1", 1, 21, 30001, 1, kStatusOutOfRange},
        {"below min", "1", 1, 21, -3001, 0, kStatusOutOfRange},
        {"read-only", "1", 10, 1, 0, 0, kStatusWriteRejected},
        {"measured value", "1", 3, 2, 0, 0, kStatusWriteRejected},
        {"undescribed parameter of a generic node", "1", 42, 7, 99, 0, kStatusOk},
        {"parameter the node lacks", "2", 9, 9, 1, 0, kStatusNoSuchParameter},
        {"generic range ends at menu 99", "1", 100, 0, 1, 0, kStatusNoSuchParameter},
        {"decimal places no drive has", "1", 1, 21, 1, 12, kStatusBadValue},
        {"unknown node", "9", 1, 21, 1, 0, kStatusUnknownNode},
    };
    for (const Row& row : rows)
        EXPECT_EQ(net.writeParameter(row.node, row.menu, row.parameter, row.value, row.decimalPlaces), row.status)
            << row.what;

    const std::vector<WriteLogEntry> log = net.writeLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].sequence, 1u);
    EXPECT_EQ(log[0].node, "1");
    EXPECT_EQ(log[0].value, 1234);
    EXPECT_EQ(log[1].sequence, 2u);
    EXPECT_EQ(log[1].value, 120) << "12 rpm in the parameter's own decimal places";
    EXPECT_EQ(log[1].decimalPlaces, 1);
    EXPECT_EQ(log[2].menu, 42);
    EXPECT_EQ(log[2].parameter, 7);

    EXPECT_EQ(net.readParameter("1", 1, 21).value, 120);
    EXPECT_EQ(net.readParameter("1", 42, 7).value, 99);
    EXPECT_EQ(net.driveValue("1", 42, 7)->value, 99);
}

// No settings file: simulated drives that answer any node, the drives of appdefault.xml first.
TEST(SimulatedNetwork, DefaultNetworkAnswersAnyNodeWithMovingDriveParameters)
{
    CommsSettings defaults;
    std::string error;
    ASSERT_EQ(parseCommsSettings(defaultCommsSettingsText(), defaults, error), kStatusOk) << error;
    EXPECT_EQ(defaults.protocol, kProtocolSimulated);
    EXPECT_EQ(defaults.nodes.at(0).address, "10.0.1.11");
    SimulatedNetwork net(defaults);
    for (const char* node : {"10.0.1.11", "10.0.1.40:3", "1", "17", "Drive 5"}) {
        EXPECT_EQ(net.checkNode(node), kStatusOk) << node;
        EXPECT_EQ(net.readParameter(node, 99, 999).status, kStatusOk) << node;
        EXPECT_EQ(net.readParameter(node, 1, 21).value, 15000) << node;
    }
    net.setClockMs(60000);
    EXPECT_NEAR(net.readParameter("17", 3, 2).value, 15000, 10) << "speed has reached its setpoint";
    EXPECT_EQ(net.readParameter("1", 100, 0).status, kStatusNoSuchParameter);

    CommsSettings sample;  // the one shipped beside the exe
    ASSERT_EQ(loadCommsSettingsFile(KV_SOURCE_DIR "/data/VUDOvoveRaduzeri.ini", sample, error), kStatusOk) << error;
    EXPECT_EQ(sample.protocol, kProtocolSimulated);
    EXPECT_FALSE(sample.nodes.empty());
}

TEST(SimulatedNetwork, ReadsThatWouldWaitAreNotAnsweredAtOnce)
{
    struct Row {
        const char* what;
        unsigned latencyMs;
        unsigned networkFaults, nodeFaults, parameterFaults;  // the parameter: #1.21
        bool cancelled;
        const char* node;
        LONG menu, parameter;
        bool answered;
    };
    const Row rows[] = {
        {"idle drive", 0, 0, 0, 0, false, "1", 1, 21, true},
        {"generic parameter", 0, 0, 0, 0, false, "1", 42, 7, true},
        {"no such parameter: answered, with its status", 0, 0, 0, 0, false, "2", 9, 9, true},
        {"write faults do not touch a read", 0, 0, kFaultRejectWrites | kFaultOutOfRange, 0, false, "1", 1, 21, true},
        {"node latency", 5, 0, 0, 0, false, "1", 1, 21, false},
        {"network down", 0, kFaultNetworkDown, 0, 0, false, "1", 1, 21, false},
        {"node silent", 0, 0, kFaultSilent, 0, false, "1", 1, 21, false},
        {"node late", 0, 0, kFaultReplyTimeout, 0, false, "1", 1, 21, false},
        {"parameter silent", 0, 0, 0, kFaultSilent, false, "1", 1, 21, false},
        {"another parameter's fault", 0, 0, 0, kFaultSilent, false, "1", 3, 2, true},
        {"unknown node", 0, 0, 0, 0, false, "9", 1, 21, false},
        {"cancelled network", 0, 0, 0, 0, true, "1", 1, 21, false},
    };
    for (const Row& row : rows) {
        SimulatedNetwork net(plant());
        ASSERT_TRUE(net.setNodeLatencyMs("1", row.latencyMs));
        net.setNetworkFaults(row.networkFaults);
        ASSERT_TRUE(net.setNodeFaults("1", row.nodeFaults));
        ASSERT_TRUE(net.setParameterFaults("1", 1, 21, row.parameterFaults));
        if (row.cancelled)
            net.cancel();
        const std::optional<ParameterReading> got = net.readParameterAtOnce(row.node, row.menu, row.parameter);
        EXPECT_EQ(got.has_value(), row.answered) << row.what;
        // A read left to the worker is counted when the worker makes it, not twice.
        EXPECT_EQ(net.requestCount(), row.answered ? 1u : 0u) << row.what;
        if (got) {
            const ParameterReading waited = net.readParameter(row.node, row.menu, row.parameter);
            EXPECT_EQ(got->status, waited.status) << row.what;
            EXPECT_EQ(got->decimalPlaces, waited.decimalPlaces) << row.what;
        }
    }
}

TEST(SimulatedNetwork, CancelEndsAWaitForASilentNode)
{
    CommsSettings s = plant();
    s.replyTimeoutMs = 600000;
    SimulatedNetwork net(s);
    ASSERT_TRUE(net.setNodeFaults("1", kFaultSilent));
    std::thread canceller([&net] { net.cancel(); });
    EXPECT_EQ(net.readParameter("1", 1, 21).status, kStatusNetworkDown);  // well before ten minutes
    canceller.join();
}

}  // namespace
