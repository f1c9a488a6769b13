#include "commsserver/CommsSettings.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>

#include "commsserver/IniText.h"

namespace comms {

namespace {

// Menu and parameter numbers travel as 16-bit register addresses in the Modbus mapping
// and as "#menu.parameter" everywhere else; beyond 65535 is certainly a typing error.
constexpr LONG kMaxMenuOrParameter = 65535;
constexpr unsigned kMaxTimeMs = 600000;  // 10 minutes: longer latencies are typing errors

// Collects the first error of a section walk with its status.
struct Problem {
    LONG status = kStatusOk;
    std::string text;

    bool set(LONG s, int line, const std::string& what)
    {
        if (status == kStatusOk) {
            status = s;
            text = "line " + std::to_string(line) + ": " + what;
        }
        return false;
    }
};

bool parseNumber(const std::string& text, double& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

bool parseWhole(const std::string& text, long long lo, long long hi, long long& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno == ERANGE || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parseBool(const std::string& text, bool& out)
{
    for (const char* t : {"yes", "true", "on", "1"}) {
        if (equalsNoCase(text, t))
            return out = true, true;
    }
    for (const char* f : {"no", "false", "off", "0"}) {
        if (equalsNoCase(text, f))
            return out = false, true;
    }
    return false;
}

}  // namespace

bool parseFaults(const std::string& text, unsigned& out)
{
    static const std::pair<const char*, unsigned> kNames[] = {
        {"none", kFaultNone},           {"networkDown", kFaultNetworkDown},
        {"silent", kFaultSilent},       {"timeout", kFaultReplyTimeout},
        {"rejectWrites", kFaultRejectWrites}, {"outOfRange", kFaultOutOfRange},
    };
    unsigned faults = kFaultNone;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(",|", start);
        std::string name = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.erase(0, 1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        bool known = false;
        for (const auto& [n, bit] : kNames) {
            if (equalsNoCase(name, n)) {
                faults |= bit;
                known = true;
            }
        }
        if (!known)
            return false;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    out = faults;
    return true;
}

namespace {

// "#3.02" or "3.02" (menu 3, parameter 2).
bool parseMenuParameter(std::string text, LONG& menu, LONG& parameter)
{
    if (!text.empty() && text.front() == '#')
        text.erase(0, 1);
    std::size_t dot = text.find('.');
    long long m = 0, p = 0;
    if (dot == std::string::npos || !parseWhole(text.substr(0, dot), 0, kMaxMenuOrParameter, m) ||
        !parseWhole(text.substr(dot + 1), 0, kMaxMenuOrParameter, p))
        return false;
    menu = static_cast<LONG>(m);
    parameter = static_cast<LONG>(p);
    return true;
}

std::string menuParameterText(LONG menu, LONG parameter)
{
    return "#" + std::to_string(menu) + "." + std::to_string(parameter);
}

bool startsWithWord(const std::string& name, const char* word, std::string& rest)
{
    std::size_t n = std::char_traits<char>::length(word);
    if (name.size() < n || !equalsNoCase(std::string_view(name).substr(0, n), word))
        return false;
    if (name.size() > n && name[n] != ' ' && name[n] != '\t')
        return false;
    rest = name.substr(n);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
        rest.erase(0, 1);
    return true;
}

bool parseWordOrder(const std::string& text, WordOrder& out)
{
    if (equalsNoCase(text, "highFirst"))
        return out = WordOrder::HighFirst, true;
    if (equalsNoCase(text, "lowFirst"))
        return out = WordOrder::LowFirst, true;
    return false;
}

// A whole-number key: its name, its range and the member it sets.
template <class M>
struct MemberOf;
template <class S, class T>
struct MemberOf<T S::*> {
    using Owner = S;
    using Type = T;
};

template <auto Member>
void storeWhole(typename MemberOf<decltype(Member)>::Owner& target, long long value)
{
    target.*Member = static_cast<typename MemberOf<decltype(Member)>::Type>(value);
}

template <class S>
struct WholeKey {
    const char* key;
    long long min;
    long long max;
    void (*store)(S&, long long);
};

// Sets the member when the key is one of the table's (known true); false with a problem
// when its value is not a whole number in range. known false for any other key.
template <class S, std::size_t N>
bool readWholeKey(const IniEntry& e, const WholeKey<S> (&table)[N], S& target, bool& known, Problem& problem)
{
    for (const WholeKey<S>& k : table) {
        if (!equalsNoCase(e.key, k.key))
            continue;
        known = true;
        long long whole = 0;
        if (!parseWhole(e.value, k.min, k.max, whole)) {
            const std::string range = std::to_string(k.min) + (k.max == k.min + 1 ? " or " : "..") + std::to_string(k.max);
            return problem.set(kStatusSettingsSyntax, e.line, std::string(k.key) + " must be " + range);
        }
        k.store(target, whole);
        return true;
    }
    known = false;
    return true;
}

const WholeKey<CommsSettings> kCommsKeys[] = {
    {"replyTimeoutMs", 1, kMaxTimeMs, storeWhole<&CommsSettings::replyTimeoutMs>},
    {"latencyMs", 0, kMaxTimeMs, storeWhole<&CommsSettings::latencyMs>},
};

// [node] keys; port, unitId and registerBase are also the network's values in [comms].
const WholeKey<NodeSettings> kNodeKeys[] = {
    {"latencyMs", 0, kMaxTimeMs, storeWhole<&NodeSettings::latencyMs>},
    {"port", 1, 65535, storeWhole<&NodeSettings::port>},
    {"unitId", 1, 255, storeWhole<&NodeSettings::unitId>},
    {"registerBase", 0, 65535, storeWhole<&NodeSettings::registerBase>},
};

const WholeKey<ModbusSettings> kModbusKeys[] = {
    {"menuStride", 0, 65535, storeWhole<&ModbusSettings::menuStride>},
    {"parameterStride", 1, 2, storeWhole<&ModbusSettings::parameterStride>},
    {"reconnectMinMs", 1, kMaxTimeMs, storeWhole<&ModbusSettings::reconnectMinMs>},
    {"reconnectMaxMs", 1, kMaxTimeMs, storeWhole<&ModbusSettings::reconnectMaxMs>},
    {"baudRate", 50, 4000000, storeWhole<&ModbusSettings::baudRate>},
    {"dataBits", 5, 8, storeWhole<&ModbusSettings::dataBits>},
    {"stopBits", 1, 2, storeWhole<&ModbusSettings::stopBits>},
};

// The keys of a [node] section besides its faults and flags: the table's and the word
// order. False with known set when the value is wrong; known false for any other key.
bool readNodeKey(const IniEntry& e, NodeSettings& node, bool& known, Problem& problem)
{
    if (!readWholeKey(e, kNodeKeys, node, known, problem))
        return false;
    if (known)
        return true;
    known = equalsNoCase(e.key, "wordOrder");
    if (!known)
        return true;
    WordOrder order{};
    if (!parseWordOrder(e.value, order))
        return problem.set(kStatusSettingsSyntax, e.line, "wordOrder must be highFirst or lowFirst");
    node.wordOrder = order;
    return true;
}

// The Modbus keys of [comms]: the network-wide node values, register rule, reconnection
// and the serial line.
bool readModbusCommsKey(const IniEntry& e, ModbusSettings& m, bool& known, Problem& problem)
{
    NodeSettings network;
    if (!readNodeKey(e, network, known, problem))
        return false;
    if (known) {
        m.port = network.port.value_or(m.port);
        m.unitId = network.unitId.value_or(m.unitId);
        m.registerBase = network.registerBase.value_or(m.registerBase);
        m.wordOrder = network.wordOrder.value_or(m.wordOrder);
        return true;
    }
    if (!readWholeKey(e, kModbusKeys, m, known, problem))
        return false;
    if (known)
        return true;
    known = true;
    if (equalsNoCase(e.key, "serialPort")) {
        if (e.value.empty())
            return problem.set(kStatusSettingsSyntax, e.line, "serialPort is empty");
        m.serialPort = e.value;
    } else if (equalsNoCase(e.key, "parity")) {
        if (equalsNoCase(e.value, "none"))
            m.parity = 'N';
        else if (equalsNoCase(e.value, "even"))
            m.parity = 'E';
        else if (equalsNoCase(e.value, "odd"))
            m.parity = 'O';
        else
            return problem.set(kStatusSettingsSyntax, e.line, "parity must be none, even or odd");
    } else {
        known = false;
    }
    return true;
}

bool readCommsSection(const IniSection& section, CommsSettings& out, Problem& problem)
{
    for (const IniEntry& e : section.entries) {
        long long whole = 0;
        bool known = false;
        // Its own keys first: latencyMs here is the network's, not a node's.
        if (!readWholeKey(e, kCommsKeys, out, known, problem))
            return false;
        if (known)
            continue;
        if (equalsNoCase(e.key, "protocol")) {
            if (!parseWhole(e.value, 0, 2, whole)) {
                if (parseWhole(e.value, INT32_MIN, INT32_MAX, whole))
                    return problem.set(kStatusProtocolUnsupported, e.line,
                                       "protocol must be 0 (simulated), 1 (Modbus TCP) or 2 (Modbus RTU)");
                return problem.set(kStatusSettingsSyntax, e.line, "protocol is not a number");
            }
            out.protocol = static_cast<LONG>(whole);
        } else if (equalsNoCase(e.key, "anyNode")) {
            if (!parseBool(e.value, out.anyNode))
                return problem.set(kStatusSettingsSyntax, e.line, "anyNode must be yes or no");
        } else if (equalsNoCase(e.key, "faults")) {
            if (!parseFaults(e.value, out.faults))
                return problem.set(kStatusSettingsSyntax, e.line, "unknown fault in: " + e.value);
        } else {
            if (!readModbusCommsKey(e, out.modbus, known, problem))
                return false;
            if (!known)
                return problem.set(kStatusSettingsSyntax, e.line, "unknown key in [comms]: " + e.key);
        }
    }
    if (out.modbus.reconnectMinMs > out.modbus.reconnectMaxMs)
        return problem.set(kStatusSettingsContradictory, section.line, "reconnectMinMs is above reconnectMaxMs");
    if (out.protocol == kProtocolModbusRtu && out.modbus.serialPort.empty())
        return problem.set(kStatusSettingsContradictory, section.line, "protocol 2 (Modbus RTU) needs serialPort");
    return true;
}

bool readNodeSection(const IniSection& section, const std::string& address, NodeSettings& node, Problem& problem)
{
    node.address = address;
    node.line = section.line;
    for (const IniEntry& e : section.entries) {
        if (equalsNoCase(e.key, "anyParameter")) {
            if (!parseBool(e.value, node.anyParameter))
                return problem.set(kStatusSettingsSyntax, e.line, "anyParameter must be yes or no");
        } else if (equalsNoCase(e.key, "faults")) {
            if (!parseFaults(e.value, node.faults))
                return problem.set(kStatusSettingsSyntax, e.line, "unknown fault in: " + e.value);
            if (node.faults & kFaultNetworkDown)
                return problem.set(kStatusSettingsContradictory, e.line, "networkDown belongs in [comms]");
        } else if (equalsNoCase(e.key, "host")) {
            if (e.value.empty())
                return problem.set(kStatusSettingsSyntax, e.line, "host is empty");
            node.host = e.value;
        } else {
            bool known = false;
            if (!readNodeKey(e, node, known, problem))
                return false;
            if (!known)
                return problem.set(kStatusSettingsSyntax, e.line, "unknown key in [node]: " + e.key);
        }
    }
    return true;
}

bool readParameterSection(const IniSection& section, ParameterSettings& p, Problem& problem)
{
    bool haveMin = false, haveMax = false, haveWritable = false, haveValue = false;
    p.line = section.line;
    for (const IniEntry& e : section.entries) {
        const std::string& k = e.key;
        const std::string& v = e.value;
        long long whole = 0;
        double number = 0;
        auto numberOf = [&](double& target) {
            if (!parseNumber(v, number))
                return problem.set(kStatusSettingsSyntax, e.line, k + " is not a number: " + v);
            target = number;
            return true;
        };
        if (equalsNoCase(k, "name")) {
            p.name = v;
        } else if (equalsNoCase(k, "type")) {
            static const std::pair<const char*, ParameterType> kTypes[] = {
                {"int16", ParameterType::Int16}, {"uint16", ParameterType::Uint16},
                {"int32", ParameterType::Int32}, {"uint32", ParameterType::Uint32},
                {"bool", ParameterType::Bool}};
            bool known = false;
            for (const auto& [name, type] : kTypes) {
                if (equalsNoCase(v, name)) {
                    p.type = type;
                    known = true;
                }
            }
            if (!known)
                return problem.set(kStatusSettingsSyntax, e.line, "type must be int16, uint16, int32, uint32 or bool");
        } else if (equalsNoCase(k, "decimals")) {
            if (!parseWhole(v, INT32_MIN, INT32_MAX, whole))
                return problem.set(kStatusSettingsSyntax, e.line, "decimals is not a number: " + v);
            if (whole < kMinDecimalPlaces || whole > kMaxDecimalPlaces)
                return problem.set(kStatusSettingsContradictory, e.line, "decimals must be -1..6");
            p.decimalPlaces = static_cast<LONG>(whole);
        } else if (equalsNoCase(k, "min")) {
            if (!numberOf(p.minimum))
                return false;
            haveMin = true;
        } else if (equalsNoCase(k, "max")) {
            if (!numberOf(p.maximum))
                return false;
            haveMax = true;
        } else if (equalsNoCase(k, "writable")) {
            if (!parseBool(v, p.writable))
                return problem.set(kStatusSettingsSyntax, e.line, "writable must be yes or no");
            haveWritable = true;
        } else if (equalsNoCase(k, "behaviour")) {
            static const std::pair<const char*, Behaviour> kBehaviours[] = {
                {"constant", Behaviour::Constant}, {"ramp", Behaviour::Ramp}, {"sine", Behaviour::Sine},
                {"noise", Behaviour::Noise}, {"follow", Behaviour::Follow}};
            bool known = false;
            for (const auto& [name, b] : kBehaviours) {
                if (equalsNoCase(v, name)) {
                    p.behaviour = b;
                    known = true;
                }
            }
            if (!known)
                return problem.set(kStatusSettingsSyntax, e.line, "behaviour must be constant, ramp, sine, noise or follow");
        } else if (equalsNoCase(k, "value")) {
            if (!numberOf(p.value))
                return false;
            haveValue = true;
        } else if (equalsNoCase(k, "amplitude")) {
            if (!numberOf(p.amplitude))
                return false;
        } else if (equalsNoCase(k, "periodMs")) {
            if (!numberOf(p.periodMs))
                return false;
            if (p.periodMs <= 0)
                return problem.set(kStatusSettingsContradictory, e.line, "periodMs must be above 0");
        } else if (equalsNoCase(k, "rate")) {
            if (!numberOf(p.ratePerSecond))
                return false;
        } else if (equalsNoCase(k, "follows")) {
            if (!parseMenuParameter(v, p.followsMenu, p.followsParameter))
                return problem.set(kStatusSettingsSyntax, e.line, "follows must be #menu.parameter: " + v);
        } else if (equalsNoCase(k, "lagMs")) {
            if (!numberOf(p.lagMs))
                return false;
            if (p.lagMs < 0)
                return problem.set(kStatusSettingsContradictory, e.line, "lagMs must not be negative");
        } else if (equalsNoCase(k, "faults")) {
            if (!parseFaults(v, p.faults))
                return problem.set(kStatusSettingsSyntax, e.line, "unknown fault in: " + v);
            if (p.faults & kFaultNetworkDown)
                return problem.set(kStatusSettingsContradictory, e.line, "networkDown belongs in [comms]");
        } else {
            return problem.set(kStatusSettingsSyntax, e.line, "unknown key in [parameter]: " + k);
        }
    }

    const double scale = decimalScale(p.decimalPlaces);
    const double typeLo = typeMinimum(p.type) / scale;
    const double typeHi = typeMaximum(p.type) / scale;
    if (!haveMin)
        p.minimum = typeLo;
    if (!haveMax)
        p.maximum = typeHi;
    if (!haveValue)
        p.value = std::min(std::max(0.0, p.minimum), p.maximum);
    if (!haveWritable && p.behaviour != Behaviour::Constant)
        p.writable = false;  // measured values: a drive refuses writes to them
    const std::string where = menuParameterText(p.menu, p.parameter) + " of node " + p.node;
    if (p.minimum > p.maximum)
        return problem.set(kStatusSettingsContradictory, p.line, "min is above max for " + where);
    if (std::round(p.minimum * scale) < typeMinimum(p.type) || std::round(p.maximum * scale) > typeMaximum(p.type))
        return problem.set(kStatusSettingsContradictory, p.line, "min..max does not fit the type for " + where);
    if (p.value < p.minimum || p.value > p.maximum) {
        if (p.behaviour == Behaviour::Constant || p.behaviour == Behaviour::Ramp)
            return problem.set(kStatusSettingsContradictory, p.line, "value is outside min..max for " + where);
    }
    if (p.behaviour == Behaviour::Follow) {
        if (p.followsMenu < 0)
            return problem.set(kStatusSettingsContradictory, p.line, "behaviour follow without follows for " + where);
        if (p.followsMenu == p.menu && p.followsParameter == p.parameter)
            return problem.set(kStatusSettingsContradictory, p.line, "a parameter cannot follow itself: " + where);
    }
    return true;
}

// Every follows must name a parameter that the same node has, and no chain may loop.
bool checkFollows(const CommsSettings& s, Problem& problem)
{
    // (node, menu, parameter) -> index; a node's own sections shadow "every node" ones.
    std::map<std::tuple<std::string, LONG, LONG>, std::size_t> byKey;
    for (std::size_t i = 0; i < s.parameters.size(); ++i)
        byKey[{s.parameters[i].node, s.parameters[i].menu, s.parameters[i].parameter}] = i;
    auto find = [&](const std::string& node, LONG menu, LONG parameter) -> const ParameterSettings* {
        auto it = byKey.find({node, menu, parameter});
        if (it == byKey.end())
            it = byKey.find({std::string(kEveryNode), menu, parameter});
        return it == byKey.end() ? nullptr : &s.parameters[it->second];
    };
    // Walk each chain once: 0 not seen, 1 on the chain being walked, 2 known to end.
    std::vector<int> state(s.parameters.size(), 0);
    std::vector<std::size_t> chain;
    for (std::size_t start = 0; start < s.parameters.size(); ++start) {
        chain.clear();
        std::size_t at = start;
        while (state[at] == 0 && s.parameters[at].behaviour == Behaviour::Follow) {
            state[at] = 1;
            chain.push_back(at);
            const ParameterSettings& p = s.parameters[at];
            // A chain is followed on one node: the node of the parameter it starts from.
            const ParameterSettings* target = find(s.parameters[start].node, p.followsMenu, p.followsParameter);
            if (!target)
                return problem.set(kStatusSettingsContradictory, p.line,
                                   "follows names a parameter the node does not have: " +
                                       menuParameterText(p.followsMenu, p.followsParameter));
            at = static_cast<std::size_t>(target - s.parameters.data());
            if (state[at] == 1)
                return problem.set(kStatusSettingsContradictory, s.parameters[start].line,
                                   "follows goes round in a circle from " +
                                       menuParameterText(s.parameters[start].menu, s.parameters[start].parameter));
        }
        for (std::size_t i : chain)
            state[i] = 2;
    }
    return true;
}

}  // namespace

double typeMinimum(ParameterType type)
{
    switch (type) {
    case ParameterType::Int16: return -32768.0;
    case ParameterType::Int32: return -2147483648.0;
    default: return 0.0;
    }
}

double typeMaximum(ParameterType type)
{
    switch (type) {
    case ParameterType::Int16: return 32767.0;
    case ParameterType::Uint16: return 65535.0;
    // The record carries a signed 32-bit value, so an unsigned 32-bit parameter can
    // only show the lower half of its range.
    case ParameterType::Int32:
    case ParameterType::Uint32: return 2147483647.0;
    case ParameterType::Bool: return 1.0;
    }
    return 0.0;
}

double decimalScale(LONG decimalPlaces)
{
    static const double kScales[] = {0.1, 1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    if (decimalPlaces < -1 || decimalPlaces > 9)
        return 1.0;
    return kScales[decimalPlaces + 1];
}

LONG parseCommsSettings(std::string_view text, CommsSettings& out, std::string& error)
{
    IniDocument doc;
    if (!parseIni(text, doc, error))
        return kStatusSettingsSyntax;

    CommsSettings s;
    s.text = std::string(text);
    Problem problem;
    bool haveComms = false;
    std::set<std::string> nodeNames;
    std::set<std::tuple<std::string, LONG, LONG>> parameterKeys;
    for (const IniSection& section : doc.sections) {
        std::string rest;
        if (equalsNoCase(section.name, "comms")) {
            if (haveComms) {
                problem.set(kStatusSettingsContradictory, section.line, "[comms] given twice");
                break;
            }
            haveComms = true;
            if (!readCommsSection(section, s, problem))
                break;
        } else if (startsWithWord(section.name, "node", rest)) {
            if (rest.empty() || rest == kEveryNode) {
                problem.set(kStatusSettingsSyntax, section.line, "[node] needs an address, e.g. [node 1]");
                break;
            }
            if (!nodeNames.insert(rest).second) {
                problem.set(kStatusSettingsContradictory, section.line, "node " + rest + " given twice");
                break;
            }
            NodeSettings node;
            if (!readNodeSection(section, rest, node, problem))
                break;
            s.nodes.push_back(std::move(node));
        } else if (startsWithWord(section.name, "parameter", rest)) {
            ParameterSettings p;
            std::size_t space = rest.find_last_of(" \t");
            if (space == std::string::npos || !parseMenuParameter(rest.substr(space + 1), p.menu, p.parameter)) {
                problem.set(kStatusSettingsSyntax, section.line,
                            "[parameter] needs a node and #menu.parameter, e.g. [parameter 1 #3.02]");
                break;
            }
            p.node = rest.substr(0, rest.find_last_not_of(" \t", space) + 1);
            if (!parameterKeys.insert({p.node, p.menu, p.parameter}).second) {
                problem.set(kStatusSettingsContradictory, section.line,
                            "parameter " + menuParameterText(p.menu, p.parameter) + " of node " + p.node + " given twice");
                break;
            }
            if (!readParameterSection(section, p, problem))
                break;
            s.parameters.push_back(std::move(p));
        } else {
            problem.set(kStatusSettingsSyntax, section.line, "unknown section [" + section.name + "]");
            break;
        }
    }
    if (problem.status == kStatusOk) {
        for (const ParameterSettings& p : s.parameters) {
            if (p.node != kEveryNode && !nodeNames.count(p.node)) {
                problem.set(kStatusSettingsContradictory, p.line, "parameter of node " + p.node + ", which has no [node] section");
                break;
            }
        }
    }
    if (problem.status == kStatusOk)
        checkFollows(s, problem);
    if (problem.status != kStatusOk) {
        error = problem.text;
        return problem.status;
    }
    out = std::move(s);
    return kStatusOk;
}

LONG loadCommsSettingsFile(const std::string& utf8Path, CommsSettings& out, std::string& error)
{
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::u8path(utf8Path);
    if (!std::filesystem::exists(path, ec) && !ec)
        return parseCommsSettings(defaultCommsSettingsText(), out, error);
    if (ec || !std::filesystem::is_regular_file(path, ec)) {
        error = "cannot read " + utf8Path + ": not a file";
        return kStatusSettingsUnreadable;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + utf8Path;
        return kStatusSettingsUnreadable;
    }
    std::string text;
    char buffer[64 * 1024];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxIniBytes) {
            error = utf8Path + " is larger than " + std::to_string(kMaxIniBytes) + " bytes";
            return kStatusSettingsSyntax;
        }
    }
    if (in.bad()) {
        error = "cannot read " + utf8Path;
        return kStatusSettingsUnreadable;
    }
    return parseCommsSettings(text, out, error);
}

const char* defaultCommsSettingsText()
{
    return R"ini(; Comms settings: the simulated drive network used when there is no settings file.
; The five drives of the sample plant (data/appdefault.xml); any other node address
; answers as a drive too. Every menu 0-99 / parameter 0-999 of a drive answers with a
; steady value; the parameters below move.

[comms]
protocol = 0            ; 0 simulated, 1 Modbus TCP, 2 Modbus RTU
replyTimeoutMs = 1000
latencyMs = 1
anyNode = yes

[node 10.0.1.11]
[node 10.0.1.12]
[node 10.0.1.21]
[node 10.0.1.31]
[node 10.0.1.40:3]

[parameter * #1.21]
name = Preset reference 1 (rpm)
type = int16
decimals = 1
min = -3000.0
max = 3000.0
value = 1500.0

[parameter * #1.1]
name = Reference selected (rpm)
type = int16
decimals = 1
min = -3000.0
max = 3000.0
behaviour = follow
follows = #1.21
lagMs = 0

[parameter * #2.1]
name = Post ramp reference (rpm)
type = int16
decimals = 1
min = -3000.0
max = 3000.0
behaviour = follow
follows = #1.21
lagMs = 1500

[parameter * #3.2]
name = Speed feedback (rpm)
type = int16
decimals = 1
min = -3000.0
max = 3000.0
behaviour = follow
follows = #2.1
lagMs = 300

[parameter * #4.1]
name = Motor current (A)
type = uint16
decimals = 2
min = 0
max = 99.99
behaviour = noise
value = 12.5
amplitude = 0.25

[parameter * #5.5]
name = DC bus voltage (V)
type = int16
min = 0
max = 1000
behaviour = sine
value = 560
amplitude = 5
periodMs = 7000

[parameter * #7.1]
name = Analog input 1 (%)
type = int16
decimals = 1
min = 0
max = 100.0
behaviour = ramp
rate = 2.0

[parameter * #10.1]
name = Drive healthy
type = bool
value = 1
writable = no

[parameter * #10.6]
name = At speed
type = bool
value = 1
writable = no
)ini";
}

}  // namespace comms
