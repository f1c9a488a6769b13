// Where parameters lie in the registers, how block reads are cut into requests, what a
// libmodbus errno becomes, and which Modbus settings are refused.
#include <gtest/gtest.h>

#include <modbus.h>

#include <cerrno>
#include <cmath>

#include "commsserver/CommsSettings.h"
#include "commsserver/ModbusLink.h"
#include "commsserver/ModbusRegisterMap.h"

namespace comms {
namespace {

TEST(ModbusRegisterMap, ParametersLieWhereTheRuleSays)
{
    CommsSettings settings;
    std::string error;
    ASSERT_EQ(parseCommsSettings("[parameter * #20.5]\ntype = int32\n[parameter * #20.99]\ntype = uint32\n", settings, error),
              kStatusOk)
        << error;
    struct Row {
        const char* what;
        RegisterRule rule;
        LONG menu, parameter;
        LONG status;
        int first, count;
    };
    const Row rows[] = {
        {"default rule", {0, 100, 1}, 3, 2, kStatusOk, 302, 1},
        {"menu 0", {0, 100, 1}, 0, 0, kStatusOk, 0, 1},
        {"node base", {5000, 100, 1}, 3, 2, kStatusOk, 5302, 1},
        {"32-bit parameter", {0, 100, 1}, 20, 5, kStatusOk, 2005, 2},
        {"stride 2", {0, 200, 2}, 3, 2, kStatusOk, 604, 1},
        {"menu ignored", {10, 0, 1}, 7, 500, kStatusOk, 510, 1},
        {"parameter reaching into the next menu", {0, 100, 1}, 1, 100, kStatusNoSuchParameter, 0, 0},
        {"stride 2 reaching into the next menu", {0, 100, 2}, 1, 50, kStatusNoSuchParameter, 0, 0},
        {"last register", {0, 100, 1}, 655, 35, kStatusOk, 65535, 1},
        {"beyond the last register", {0, 100, 1}, 655, 36, kStatusNoSuchParameter, 0, 0},
    };
    for (const Row& row : rows) {
        RegisterMap map(settings, "1", row.rule);
        ParameterLayout l;
        ASSERT_EQ(map.layout(row.menu, row.parameter, l), row.status) << row.what;
        if (row.status == kStatusOk) {
            EXPECT_EQ(l.firstRegister, row.first) << row.what;
            EXPECT_EQ(l.registerCount, row.count) << row.what;
        }
    }
    RegisterMap high(settings, "1", {65434, 100, 1});
    ParameterLayout l;
    EXPECT_EQ(high.layout(1, 1, l), kStatusOk);
    RegisterMap edge(settings, "1", {0, 0, 1});
    EXPECT_EQ(edge.layout(0, 65535, l), kStatusOk);
    RegisterMap wide(settings, "1", {65535 - 2099, 100, 1});
    EXPECT_EQ(wide.layout(20, 99, l), kStatusNoSuchParameter) << "a 32-bit parameter needs both registers";

    RegisterMap listedOnly(settings, "1", {0, 100, 1, WordOrder::HighFirst, false});
    EXPECT_EQ(listedOnly.layout(20, 5, l), kStatusOk);
    EXPECT_EQ(listedOnly.layout(3, 2, l), kStatusNoSuchParameter) << "anyParameter = no";
}

TEST(ModbusRegisterMap, ValuesAreCodedByTypeWordOrderAndDecimals)
{
    CommsSettings settings;
    std::string error;
    ASSERT_EQ(parseCommsSettings("[parameter * #1.1]\ntype = int32\ndecimals = 2\nmin = -100\nmax = 100\n"
                                 "[parameter * #1.2]\ntype = uint16\n[parameter * #1.3]\ntype = bool\n",
                                 settings, error),
              kStatusOk)
        << error;
    struct Row {
        const char* what;
        WordOrder order;
        LONG parameter, value, decimalPlaces;
        LONG status;
        std::uint16_t registers[2];
    };
    const Row rows[] = {
        {"int32 high first", WordOrder::HighFirst, 1, -1, 2, kStatusOk, {0xFFFF, 0xFFFF}},
        {"int32 low first", WordOrder::LowFirst, 1, 9999, 2, kStatusOk, {0x270F, 0x0000}},
        {"int32 scaled up", WordOrder::HighFirst, 1, 5, 0, kStatusOk, {0x0000, 0x01F4}},
        {"int32 scaled down and rounded", WordOrder::HighFirst, 1, 12345, 3, kStatusOk, {0x0000, 0x04D3}},
        {"above max", WordOrder::HighFirst, 1, 10001, 2, kStatusOutOfRange, {}},
        {"uint16 top", WordOrder::HighFirst, 2, 65535, 0, kStatusOk, {0xFFFF}},
        {"uint16 negative", WordOrder::HighFirst, 2, -1, 0, kStatusOutOfRange, {}},
        {"bool 2", WordOrder::HighFirst, 3, 2, 0, kStatusOutOfRange, {}},
        {"generic int16", WordOrder::HighFirst, 4, -32768, 0, kStatusOk, {0x8000}},
        {"generic int16 too low", WordOrder::HighFirst, 4, -32769, 0, kStatusOutOfRange, {}},
        {"record decimals out of range", WordOrder::HighFirst, 4, 1, 10, kStatusBadValue, {}},
    };
    for (const Row& row : rows) {
        RegisterMap map(settings, "1", {0, 100, 1, row.order, true});
        ParameterLayout l;
        ASSERT_EQ(map.layout(1, row.parameter, l), kStatusOk) << row.what;
        std::uint16_t registers[2] = {};
        ASSERT_EQ(map.encode(l, row.value, row.decimalPlaces, registers), row.status) << row.what;
        if (row.status != kStatusOk)
            continue;
        for (int i = 0; i < l.registerCount; ++i)
            EXPECT_EQ(registers[i], row.registers[i]) << row.what << ": register " << i;
        // What was written reads back as the same value in the parameter's decimals.
        const double expected = row.value * decimalScale(l.decimalPlaces) / decimalScale(row.decimalPlaces);
        EXPECT_EQ(map.decode(l, registers), static_cast<LONG>(std::lround(expected))) << row.what;
    }
}

TEST(ModbusRegisterMap, BlocksAreCutIntoRequestsOfAtMost125Registers)
{
    auto layouts = [](int count, int wideAt = -1, int missingAt = -1) {
        std::vector<ParameterLayout> v(count);
        int next = 1000;
        for (int i = 0; i < count; ++i) {
            v[i].firstRegister = next;
            v[i].registerCount = i == missingAt ? 0 : i == wideAt ? 2 : 1;
            next += 1;
        }
        return v;
    };
    struct Row {
        const char* what;
        std::vector<ParameterLayout> block;
        std::vector<std::pair<int, int>> spans;  // first register, count
    };
    const Row rows[] = {
        {"1000 contiguous", layouts(1000),
         {{1000, 125}, {1125, 125}, {1250, 125}, {1375, 125}, {1500, 125}, {1625, 125}, {1750, 125}, {1875, 125}}},
        {"125 exactly", layouts(125), {{1000, 125}}},
        {"a 32-bit parameter at the end pushes one over", layouts(125, 124), {{1000, 124}, {1124, 2}}},
        {"a 32-bit parameter inside stays", layouts(100, 10), {{1000, 100}}},
        {"a missing first parameter is left out", layouts(3, -1, 0), {{1001, 2}}},
        {"nothing to read", layouts(1, -1, 0), {}},
    };
    for (const Row& row : rows) {
        std::vector<RegisterSpan> spans;
        RegisterMap::planReads(row.block, kMaxRegistersPerRead, spans);
        ASSERT_EQ(spans.size(), row.spans.size()) << row.what;
        std::size_t covered = 0;
        for (std::size_t i = 0; i < spans.size(); ++i) {
            EXPECT_EQ(spans[i].first, row.spans[i].first) << row.what << ": span " << i;
            EXPECT_EQ(spans[i].count, row.spans[i].second) << row.what << ": span " << i;
            EXPECT_EQ(spans[i].beginParameter, i == 0 ? spans[i].beginParameter : spans[i - 1].endParameter) << row.what;
            covered = spans[i].endParameter;
        }
        if (!spans.empty()) {
            EXPECT_EQ(covered, row.block.size()) << row.what;
        }
    }
}

TEST(ModbusLink, ErrnoBecomesOneStatusAndWhatIsLeftOfTheConnection)
{
    struct Row {
        int error;
        ModbusOperation operation;
        LONG status;
        LinkEffect effect;
    };
    // A read's time-out or missing register and a refused connection: ModbusDriveTest's.
    const Row rows[] = {
        {EMBXILADD, ModbusOperation::Write, kStatusNoSuchParameter, LinkEffect::Keep},
        {EMBXILVAL, ModbusOperation::Write, kStatusOutOfRange, LinkEffect::Keep},
        {EMBXILVAL, ModbusOperation::Read, kStatusBadReply, LinkEffect::Keep},
        {EMBXSFAIL, ModbusOperation::Write, kStatusWriteRejected, LinkEffect::Keep},
        {MODBUS_ENOBASE, ModbusOperation::Read, kStatusBadReply, LinkEffect::Keep},
        {MODBUS_ENOBASE + MODBUS_EXCEPTION_NOT_DEFINED, ModbusOperation::Write, kStatusBadReply, LinkEffect::Keep},
        {EMBXILFUN, ModbusOperation::Read, kStatusBadReply, LinkEffect::Keep},
        {EMBXGTAR, ModbusOperation::Read, kStatusNodeSilent, LinkEffect::Keep},
        {EMBXGPATH, ModbusOperation::Write, kStatusNodeSilent, LinkEffect::Keep},
        {ETIMEDOUT, ModbusOperation::Write, kStatusReplyTimeout, LinkEffect::Reopen},
        {ETIMEDOUT, ModbusOperation::Connect, kStatusNetworkDown, LinkEffect::Lost},
        {EMBBADCRC, ModbusOperation::Read, kStatusBadReply, LinkEffect::Reopen},
        {EMBMDATA, ModbusOperation::Read, kStatusBadReply, LinkEffect::Reopen},
        {ECONNRESET, ModbusOperation::Read, kStatusNetworkDown, LinkEffect::Lost},
        {EPIPE, ModbusOperation::Write, kStatusNetworkDown, LinkEffect::Lost},
        {0, ModbusOperation::Read, kStatusNetworkDown, LinkEffect::Lost},
    };
    for (const Row& row : rows) {
        const ModbusFailure f = translateModbusError(row.error, row.operation, false);
        EXPECT_EQ(f.status, row.status) << modbus_strerror(row.error) << " op " << int(row.operation);
        EXPECT_EQ(f.effect, row.effect) << modbus_strerror(row.error) << " op " << int(row.operation);
    }
}

TEST(ModbusSettings, KeysAreReadAndBadValuesRefused)
{
    CommsSettings s;
    std::string error;
    ASSERT_EQ(parseCommsSettings("[comms]\nprotocol = 2\nserialPort = COM3\nbaudRate = 9600\nparity = even\n"
                                 "stopBits = 2\nport = 1502\nunitId = 9\nmenuStride = 1000\nparameterStride = 2\n"
                                 "wordOrder = lowFirst\nreconnectMinMs = 10\nreconnectMaxMs = 20\n"
                                 "[node a]\nhost = 127.0.0.1\nport = 15020\nunitId = 3\nregisterBase = 40\n"
                                 "wordOrder = highFirst\n",
                                 s, error),
              kStatusOk)
        << error;
    EXPECT_EQ(s.modbus.serialPort, "COM3");
    EXPECT_EQ(s.modbus.baudRate, 9600u);
    EXPECT_EQ(s.modbus.parity, 'E');
    EXPECT_EQ(s.modbus.stopBits, 2);
    EXPECT_EQ(s.modbus.port, 1502u);
    EXPECT_EQ(s.modbus.unitId, 9);
    EXPECT_EQ(s.modbus.menuStride, 1000);
    EXPECT_EQ(s.modbus.parameterStride, 2);
    EXPECT_EQ(s.modbus.wordOrder, WordOrder::LowFirst);
    ASSERT_EQ(s.nodes.size(), 1u);
    EXPECT_EQ(s.nodes[0].host, "127.0.0.1");
    EXPECT_EQ(s.nodes[0].port.value_or(0), 15020u);
    EXPECT_EQ(s.nodes[0].unitId.value_or(0), 3);
    EXPECT_EQ(s.nodes[0].registerBase.value_or(0), 40);
    EXPECT_EQ(s.nodes[0].wordOrder.value_or(WordOrder::LowFirst), WordOrder::HighFirst);

    struct Row {
        const char* text;
        LONG status;
        const char* error;
    };
    const Row rows[] = {
        {"[comms]\nprotocol = 2\n", kStatusSettingsContradictory, "line 1: protocol 2 (Modbus RTU) needs serialPort"},
        {"[comms]\nreconnectMinMs = 50\nreconnectMaxMs = 10\n", kStatusSettingsContradictory,
         "line 1: reconnectMinMs is above reconnectMaxMs"},
        {"[comms]\nport = 0\n", kStatusSettingsSyntax, "line 2: port must be 1..65535"},
        {"[comms]\nwordOrder = big\n", kStatusSettingsSyntax, "line 2: wordOrder must be highFirst or lowFirst"},
        {"[comms]\nparity = mark\n", kStatusSettingsSyntax, "line 2: parity must be none, even or odd"},
        {"[comms]\nparameterStride = 3\n", kStatusSettingsSyntax, "line 2: parameterStride must be 1 or 2"},
        {"[node 1]\nunitId = 256\n", kStatusSettingsSyntax, "line 2: unitId must be 1..255"},
        {"[node 1]\nhost =\n", kStatusSettingsSyntax, "line 2: host is empty"},
        {"[node 1]\nmenuStride = 10\n", kStatusSettingsSyntax, "line 2: unknown key in [node]: menuStride"},
    };
    for (const Row& row : rows) {
        CommsSettings out;
        std::string why;
        EXPECT_EQ(parseCommsSettings(row.text, out, why), row.status) << row.text;
        EXPECT_EQ(why, row.error) << row.text;
    }
}

}  // namespace
}  // namespace comms
