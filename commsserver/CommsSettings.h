// The comms settings file, interpreted: protocol, time-outs, drive nodes and their
// simulated parameters with behaviours and faults. The format is described in
// docs/comms-settings.md; the built-in default (no file) is defaultCommsSettingsText().
//
// Used by CommsServer (LoadSettingsFile) and by the backends it creates.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commsserver/CommsServerInterface.h"

namespace comms {

// Faults that the simulated network injects. A fault given on the network, on a node
// or on a parameter applies to everything below it.
enum Fault : unsigned {
    kFaultNone = 0,
    kFaultNetworkDown = 1u << 0,   // every request: kStatusNetworkDown
    kFaultSilent = 1u << 1,        // no answer; after the reply time-out: kStatusNodeSilent
    kFaultReplyTimeout = 1u << 2,  // answer after the reply time-out: writes are applied
    kFaultRejectWrites = 1u << 3,  // writes answered kStatusWriteRejected
    kFaultOutOfRange = 1u << 4,    // writes answered kStatusOutOfRange
};

// A fault list as the settings file gives it ("silent, timeout", "none"); false, and
// out unchanged, for a name it does not know.
bool parseFaults(const std::string& text, unsigned& out);

enum class Behaviour { Constant, Ramp, Sine, Noise, Follow };

enum class ParameterType { Int16, Uint16, Int32, Uint32, Bool };

// The node name that makes a [parameter] section apply to every node.
inline constexpr std::string_view kEveryNode = "*";

constexpr LONG kMaxDecimalPlaces = 6;
constexpr LONG kMinDecimalPlaces = -1;

struct ParameterSettings {
    std::string node;  // a node address, or kEveryNode
    LONG menu = 0;
    LONG parameter = 0;
    std::string name;
    ParameterType type = ParameterType::Int32;
    LONG decimalPlaces = 0;
    double minimum = 0;   // engineering units (the raw value divided by 10^decimalPlaces)
    double maximum = 0;
    bool writable = true;
    Behaviour behaviour = Behaviour::Constant;
    double value = 0;       // constant value; start of a ramp; centre of sine and noise
    double amplitude = 0;   // sine and noise
    double periodMs = 10000;  // sine
    double ratePerSecond = 0;  // ramp, engineering units per second
    LONG followsMenu = -1;     // follow: the parameter of the same node this one tracks
    LONG followsParameter = -1;
    double lagMs = 1000;       // follow: time constant of the first-order lag
    unsigned faults = kFaultNone;
    int line = 0;
};

// How a 32-bit parameter lies in its two Modbus registers.
enum class WordOrder { HighFirst, LowFirst };

// Modbus TCP (protocol 1) and RTU (protocol 2): the network-wide values; a node may
// give its own host, port, unit, register base and word order. A parameter's first
// register is registerBase + menu x menuStride + parameter x parameterStride.
struct ModbusSettings {
    unsigned port = 502;
    LONG unitId = 1;
    LONG registerBase = 0;
    LONG menuStride = 100;
    LONG parameterStride = 1;
    WordOrder wordOrder = WordOrder::HighFirst;
    unsigned reconnectMinMs = 250;   // first wait after a lost connection, doubled up to
    unsigned reconnectMaxMs = 8000;  // this while the node stays unreachable
    // RTU: one serial line for every node.
    std::string serialPort;
    unsigned baudRate = 19200;
    char parity = 'N';  // 'N', 'E' or 'O'
    int dataBits = 8;
    int stopBits = 1;
};

struct NodeSettings {
    std::string address;
    long latencyMs = -1;  // -1: the network's
    bool anyParameter = true;
    unsigned faults = kFaultNone;
    // Modbus; unset: the network's, and host and unit from the address text.
    std::string host;
    std::optional<unsigned> port;
    std::optional<LONG> unitId;
    std::optional<LONG> registerBase;
    std::optional<WordOrder> wordOrder;
    int line = 0;
};

struct CommsSettings {
    LONG protocol = kProtocolSimulated;
    unsigned replyTimeoutMs = 1000;
    unsigned latencyMs = 0;
    bool anyNode = false;  // node addresses not listed answer as generic drives
    unsigned faults = kFaultNone;
    std::vector<NodeSettings> nodes;
    std::vector<ParameterSettings> parameters;
    ModbusSettings modbus;
    std::string text;  // the text it was read from: equal texts mean equal settings
};

// Parses settings text. Returns kStatusOk, kStatusSettingsSyntax (not INI, unknown
// section or key, a value that is not a number) or kStatusSettingsContradictory (values
// that cannot hold together); error then names the line and what is wrong.
LONG parseCommsSettings(std::string_view text, CommsSettings& out, std::string& error);

// Reads and parses a settings file. A file that does not exist gives the default
// network; one that exists but cannot be read gives kStatusSettingsUnreadable.
LONG loadCommsSettingsFile(const std::string& utf8Path, CommsSettings& out, std::string& error);

// The network used when there is no settings file: the five drives of the sample plant,
// any other address answering too, every menu 0-99 / parameter 0-999 of a node
// answering, and a few parameters that move (speed following its reference through the
// ramp, current, DC bus voltage, an analog input).
const char* defaultCommsSettingsText();

// Raw drive value limits of a type.
double typeMinimum(ParameterType type);
double typeMaximum(ParameterType type);

// 10^decimalPlaces, for the decimal places that records may carry.
double decimalScale(LONG decimalPlaces);

}  // namespace comms
