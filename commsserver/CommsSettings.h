// The comms settings file, interpreted: protocol, time-outs, drive nodes and their
// simulated parameters with behaviours and faults. The format is described in
// docs/comms-settings.md; the built-in default (no file) is defaultCommsSettingsText().
//
// Used by CommsServer (LoadSettingsFile) and by the backends it creates.
#pragma once

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

struct NodeSettings {
    std::string address;
    long latencyMs = -1;  // -1: the network's
    bool anyParameter = true;
    unsigned faults = kFaultNone;
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
