#include "commsserver/SimulatedNetwork.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace comms {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kMaxFollowDepth = 8;  // settings reject circles; this only bounds the work

std::uint64_t steadyMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// xorshift64: noise that is the same on every run for the same parameter.
double nextNoise(std::uint64_t& state)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 9007199254740992.0 * 2.0 - 1.0;
}

}  // namespace

SimulatedNetwork::SimulatedNetwork(const CommsSettings& settings) : startTicks_(steadyMs())
{
    anyNode_ = settings.anyNode;
    networkFaults_ = settings.faults;
    replyTimeoutMs_ = settings.replyTimeoutMs;
    defaultLatencyMs_ = settings.latencyMs;
    for (const ParameterSettings& p : settings.parameters) {
        if (p.node == kEveryNode)
            everyNodeParameters_.push_back(p);
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (const NodeSettings& n : settings.nodes) {
        Node& node = nodes_[n.address];
        node.address = n.address;
        node.latencyMs = n.latencyMs < 0 ? settings.latencyMs : static_cast<unsigned>(n.latencyMs);
        node.anyParameter = n.anyParameter;
        node.faults = n.faults;
        for (const ParameterSettings& p : everyNodeParameters_)
            addParameter(node, p, 0);
    }
    // A node's own sections come after the "every node" ones so that they replace them.
    for (const ParameterSettings& p : settings.parameters) {
        if (p.node != kEveryNode)
            addParameter(nodes_[p.node], p, 0);
    }
}

SimulatedNetwork::~SimulatedNetwork() = default;

LONG SimulatedNetwork::connect()
{
    std::lock_guard<std::mutex> guard(cancelLock_);
    cancelRequested_ = false;
    return kStatusOk;
}

void SimulatedNetwork::disconnect() {}

void SimulatedNetwork::cancel()
{
    {
        std::lock_guard<std::mutex> guard(cancelLock_);
        cancelRequested_ = true;
    }
    cancelled_.notify_all();
}

bool SimulatedNetwork::waitMs(unsigned ms)
{
    std::unique_lock<std::mutex> guard(cancelLock_);
    if (ms == 0)
        return !cancelRequested_;
    return !cancelled_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return cancelRequested_; });
}

bool SimulatedNetwork::networkUp()
{
    std::lock_guard<std::mutex> guard(lock_);
    return !(networkFaults_ & kFaultNetworkDown);
}

LONG SimulatedNetwork::checkNode(const std::string& node)
{
    std::lock_guard<std::mutex> guard(lock_);
    return findNode(node) ? kStatusOk : kStatusUnknownNode;
}

bool SimulatedNetwork::isGeneric(LONG menu, LONG parameter)
{
    return menu >= 0 && menu < kGenericMenuCount && parameter >= 0 && parameter < kGenericParameterCount;
}

// A plausible, stable value for a parameter nobody described: 0..999, no decimals.
ParameterReading SimulatedNetwork::genericReading(LONG menu, LONG parameter)
{
    return {kStatusOk, (menu * 37 + parameter * 11) % 1000, 0};
}

SimulatedNetwork::Node* SimulatedNetwork::findNode(const std::string& address)
{
    auto it = nodes_.find(address);
    if (it != nodes_.end())
        return &it->second;
    if (!anyNode_ || address.empty())
        return nullptr;
    Node& node = nodes_[address];
    node.address = address;
    node.latencyMs = defaultLatencyMs_;
    for (const ParameterSettings& p : everyNodeParameters_)
        addParameter(node, p, nowMs());
    return &node;
}

void SimulatedNetwork::addParameter(Node& node, const ParameterSettings& s, std::uint64_t now)
{
    Parameter& p = node.parameters[key(s.menu, s.parameter)];
    p = Parameter{};
    p.type = s.type;
    p.decimalPlaces = s.decimalPlaces;
    p.minimum = s.minimum;
    p.maximum = s.maximum;
    p.writable = s.writable;
    p.behaviour = s.behaviour;
    p.value = s.value;
    p.amplitude = s.amplitude;
    p.periodMs = s.periodMs;
    p.ratePerSecond = s.ratePerSecond;
    p.lagMs = s.lagMs;
    p.follows = s.followsMenu < 0 ? 0 : key(s.followsMenu, s.followsParameter);
    p.faults = s.faults;
    p.current = s.value;
    p.sinceMs = now;
    p.noiseState = 0x9E3779B97F4A7C15ull ^ (std::uint64_t(key(s.menu, s.parameter)) * 0x100000001B3ull) ^
                   std::hash<std::string>()(node.address);
    if (p.noiseState == 0)
        p.noiseState = 1;
}

SimulatedNetwork::Parameter* SimulatedNetwork::findParameter(Node& node, LONG menu, LONG parameter, bool materialise)
{
    if (menu < 0 || parameter < 0 || menu > 0xFFFF || parameter > 0xFFFF)
        return nullptr;
    auto it = node.parameters.find(key(menu, parameter));
    if (it != node.parameters.end())
        return &it->second;
    if (!materialise || !node.anyParameter || !isGeneric(menu, parameter))
        return nullptr;
    // A generic parameter takes state of its own the first time something changes it.
    ParameterSettings s;
    s.menu = menu;
    s.parameter = parameter;
    s.type = ParameterType::Int16;
    s.minimum = typeMinimum(s.type);
    s.maximum = typeMaximum(s.type);
    s.value = genericReading(menu, parameter).value;
    addParameter(node, s, nowMs());
    return &node.parameters[key(menu, parameter)];
}

std::uint64_t SimulatedNetwork::nowMs() const
{
    return manualClockMs_ ? *manualClockMs_ : steadyMs() - startTicks_;
}

double SimulatedNetwork::evaluate(Node& node, Parameter& p, std::uint64_t now, int depth)
{
    double v = p.value;
    const double elapsedMs = now > p.sinceMs ? static_cast<double>(now - p.sinceMs) : 0.0;
    switch (p.behaviour) {
    case Behaviour::Constant:
        break;
    case Behaviour::Ramp: {
        const double span = p.maximum - p.minimum;
        v = p.value + p.ratePerSecond * elapsedMs / 1000.0;
        if (span > 0) {
            v = std::fmod(v - p.minimum, span);
            if (v < 0)
                v += span;
            v += p.minimum;
        }
        break;
    }
    case Behaviour::Sine:
        v = p.value + p.amplitude * std::sin(kTwoPi * static_cast<double>(now) / p.periodMs);
        break;
    case Behaviour::Noise:
        v = p.value + p.amplitude * nextNoise(p.noiseState);
        break;
    case Behaviour::Follow: {
        auto it = node.parameters.find(p.follows);
        if (it != node.parameters.end() && depth < kMaxFollowDepth && &it->second != &p) {
            const double target = evaluate(node, it->second, now, depth + 1);
            p.current = p.lagMs <= 0 ? target : p.current + (target - p.current) * (1.0 - std::exp(-elapsedMs / p.lagMs));
        }
        p.sinceMs = std::max(p.sinceMs, now);
        v = p.current;
        break;
    }
    }
    return std::clamp(v, p.minimum, p.maximum);
}

ParameterReading SimulatedNetwork::reading(Node& node, LONG menu, LONG parameter, std::uint64_t now)
{
    Parameter* p = findParameter(node, menu, parameter, false);
    if (!p) {
        if (node.anyParameter && isGeneric(menu, parameter))
            return genericReading(menu, parameter);
        return {kStatusNoSuchParameter, 0, 0};
    }
    if (p->faults & kFaultSilent)
        return {kStatusNodeSilent, 0, 0};
    if (p->faults & kFaultReplyTimeout)
        return {kStatusReplyTimeout, 0, 0};
    const double raw = std::llround(evaluate(node, *p, now, 0) * decimalScale(p->decimalPlaces));
    const double clamped = std::clamp(raw, typeMinimum(p->type), typeMaximum(p->type));
    return {kStatusOk, static_cast<LONG>(clamped), p->decimalPlaces};
}

void SimulatedNetwork::setValue(Parameter& p, double value, std::uint64_t now)
{
    p.value = value;
    p.current = value;
    p.sinceMs = now;
}

ParameterReading SimulatedNetwork::readParameter(const std::string& address, LONG menu, LONG parameter)
{
    unsigned faults = 0, waitForMs = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requestCount_ += 1;
        Node* node = findNode(address);
        if (!node)
            return {kStatusUnknownNode, 0, 0};
        faults = readFaults(*node, menu, parameter);
        waitForMs = faults & (kFaultSilent | kFaultReplyTimeout) ? replyTimeoutMs_ : node->latencyMs;
    }
    if (faults & kFaultNetworkDown)
        return {kStatusNetworkDown, 0, 0};
    if (!waitMs(waitForMs))
        return {kStatusNetworkDown, 0, 0};
    if (faults & kFaultSilent)
        return {kStatusNodeSilent, 0, 0};
    if (faults & kFaultReplyTimeout)
        return {kStatusReplyTimeout, 0, 0};
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    return node ? reading(*node, menu, parameter, nowMs()) : ParameterReading{kStatusUnknownNode, 0, 0};
}

std::optional<ParameterReading> SimulatedNetwork::readParameterAtOnce(const std::string& address, LONG menu,
                                                                      LONG parameter)
{
    // A cancelled network answers every read with network down: the worker's path says so.
    if (!waitMs(0))
        return std::nullopt;
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    // Write faults do not touch a read; any other fault, or latency, means waiting.
    constexpr unsigned kReadFaults = kFaultNetworkDown | kFaultSilent | kFaultReplyTimeout;
    if (!node || node->latencyMs != 0 || (readFaults(*node, menu, parameter) & kReadFaults))
        return std::nullopt;
    requestCount_ += 1;
    return reading(*node, menu, parameter, nowMs());
}

unsigned SimulatedNetwork::readFaults(Node& node, LONG menu, LONG parameter)
{
    const Parameter* p = findParameter(node, menu, parameter, false);
    return networkFaults_ | node.faults | (p ? p->faults : 0);
}

LONG SimulatedNetwork::writeParameter(const std::string& address, LONG menu, LONG parameter, LONG value,
                                      LONG decimalPlaces)
{
    unsigned faults = 0, latencyMs = 0, timeoutMs = 0;
    LONG status = kStatusOk;
    std::shared_ptr<const WriteObserver> observer;
    WriteLogEntry applied;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requestCount_ += 1;
        Node* node = findNode(address);
        if (!node)
            return kStatusUnknownNode;
        Parameter* p = findParameter(*node, menu, parameter, false);
        faults = networkFaults_ | node->faults | (p ? p->faults : 0);
        latencyMs = node->latencyMs;
        timeoutMs = replyTimeoutMs_;
        if (faults & (kFaultNetworkDown | kFaultSilent)) {
            // Nothing reaches the drive.
        } else if (!(p = findParameter(*node, menu, parameter, true))) {
            status = kStatusNoSuchParameter;
        } else if (!p->writable || (faults & kFaultRejectWrites)) {
            status = kStatusWriteRejected;
        } else if (decimalPlaces < kMinDecimalPlaces || decimalPlaces > 9) {
            status = kStatusBadValue;
        } else {
            // The record's decimal places say what the integer means; the drive keeps
            // its own, as a drive rounds a value typed with too many digits.
            const double engineering = value / decimalScale(decimalPlaces);
            const double raw = std::round(engineering * decimalScale(p->decimalPlaces));
            if ((faults & kFaultOutOfRange) || engineering < p->minimum - 1e-9 || engineering > p->maximum + 1e-9 ||
                raw < typeMinimum(p->type) || raw > typeMaximum(p->type)) {
                status = kStatusOutOfRange;
            } else {
                setValue(*p, raw / decimalScale(p->decimalPlaces), nowMs());
                writeLog_.push_back({writeLog_.size() + 1, address, menu, parameter, static_cast<LONG>(raw),
                                     p->decimalPlaces});
                observer = writeObserver_;
                if (observer)
                    applied = writeLog_.back();
            }
        }
    }
    if (observer)
        (*observer)(applied);
    if (faults & kFaultNetworkDown)
        return kStatusNetworkDown;
    const bool late = faults & (kFaultSilent | kFaultReplyTimeout);
    if (!waitMs(late ? timeoutMs : latencyMs))
        return kStatusNetworkDown;
    if (faults & kFaultSilent)
        return kStatusNodeSilent;
    if (faults & kFaultReplyTimeout)
        return kStatusReplyTimeout;  // too late, though a write was applied
    return status;
}

LONG SimulatedNetwork::readBlock(const std::string& address, LONG menu, LONG firstParameter,
                                 std::span<ParameterReading> out)
{
    if (out.size() > kMaxBlockParameters)
        return kStatusBadRecord;
    unsigned faults = 0, waitForMs = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requestCount_ += 1;
        Node* node = findNode(address);
        if (!node)
            return kStatusUnknownNode;
        faults = networkFaults_ | node->faults;
        waitForMs = faults & (kFaultSilent | kFaultReplyTimeout) ? replyTimeoutMs_ : node->latencyMs;
    }
    if (faults & kFaultNetworkDown)
        return kStatusNetworkDown;
    if (!waitMs(waitForMs))
        return kStatusNetworkDown;
    if (faults & kFaultSilent)
        return kStatusNodeSilent;
    if (faults & kFaultReplyTimeout)
        return kStatusReplyTimeout;
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    if (!node)
        return kStatusUnknownNode;
    const std::uint64_t now = nowMs();
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = reading(*node, menu, firstParameter + static_cast<LONG>(i), now);
    return kStatusOk;
}

void SimulatedNetwork::setNetworkFaults(unsigned faults)
{
    std::lock_guard<std::mutex> guard(lock_);
    networkFaults_ = faults;
}

bool SimulatedNetwork::setNodeFaults(const std::string& address, unsigned faults)
{
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    if (!node)
        return false;
    node->faults = faults & ~kFaultNetworkDown;
    return true;
}

bool SimulatedNetwork::setParameterFaults(const std::string& address, LONG menu, LONG parameter, unsigned faults)
{
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    Parameter* p = node ? findParameter(*node, menu, parameter, true) : nullptr;
    if (!p)
        return false;
    p->faults = faults & ~kFaultNetworkDown;
    return true;
}

void SimulatedNetwork::setReplyTimeoutMs(unsigned ms)
{
    std::lock_guard<std::mutex> guard(lock_);
    replyTimeoutMs_ = ms;
}

bool SimulatedNetwork::setNodeLatencyMs(const std::string& address, unsigned ms)
{
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    if (!node)
        return false;
    node->latencyMs = ms;
    return true;
}

std::optional<ParameterReading> SimulatedNetwork::driveValue(const std::string& address, LONG menu, LONG parameter)
{
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    if (!node)
        return std::nullopt;
    Parameter* p = findParameter(*node, menu, parameter, false);
    if (!p) {
        if (node->anyParameter && isGeneric(menu, parameter))
            return genericReading(menu, parameter);
        return std::nullopt;
    }
    const unsigned faults = p->faults;
    p->faults = kFaultNone;  // the drive's own view knows nothing of the wire
    ParameterReading r = reading(*node, menu, parameter, nowMs());
    p->faults = faults;
    return r;
}

bool SimulatedNetwork::setDriveValue(const std::string& address, LONG menu, LONG parameter, double value)
{
    std::lock_guard<std::mutex> guard(lock_);
    Node* node = findNode(address);
    Parameter* p = node ? findParameter(*node, menu, parameter, true) : nullptr;
    if (!p)
        return false;
    setValue(*p, std::clamp(value, p->minimum, p->maximum), nowMs());
    return true;
}

void SimulatedNetwork::setWriteObserver(WriteObserver observer)
{
    auto shared = observer ? std::make_shared<const WriteObserver>(std::move(observer)) : nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    writeObserver_ = std::move(shared);
}

std::vector<WriteLogEntry> SimulatedNetwork::writeLog() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return writeLog_;
}

std::uint64_t SimulatedNetwork::requestCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return requestCount_;
}

void SimulatedNetwork::setClockMs(std::uint64_t ms)
{
    std::lock_guard<std::mutex> guard(lock_);
    manualClockMs_ = ms;
}

}  // namespace comms
