#include "commsserver/ModbusBackend.h"

#include <algorithm>

namespace comms {

ModbusBackend::ModbusBackend(const CommsSettings& settings) : settings_(settings) {}

ModbusBackend::~ModbusBackend() = default;

std::int64_t ModbusBackend::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const NodeSettings* ModbusBackend::nodeSettings(const std::string& address) const
{
    for (const NodeSettings& n : settings_.nodes) {
        if (n.address == address)
            return &n;
    }
    return nullptr;
}

RegisterRule ModbusBackend::ruleFor(const std::string& address) const
{
    const ModbusSettings& m = settings_.modbus;
    RegisterRule rule{m.registerBase, m.menuStride, m.parameterStride, m.wordOrder, true};
    if (const NodeSettings* n = nodeSettings(address)) {
        rule.registerBase = n->registerBase.value_or(rule.registerBase);
        rule.wordOrder = n->wordOrder.value_or(rule.wordOrder);
        rule.anyParameter = n->anyParameter;
    }
    return rule;
}

LONG ModbusBackend::connect()
{
    // Connections are made by the first request to each node (see the header).
    cancelled_ = false;
    return kStatusOk;
}

void ModbusBackend::disconnect()
{
    // The worker may still be inside a request on another thread; the connections
    // close when the last owner of the backend lets it go.
    cancel();
}

void ModbusBackend::cancel()
{
    cancelled_ = true;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [key, c] : connections_) {
        if (c->link)
            c->link->interrupt();
    }
}

bool ModbusBackend::networkUp()
{
    if (cancelled_)
        return false;
    const std::int64_t now = nowMs();
    std::lock_guard<std::mutex> guard(lock_);
    if (connections_.empty())
        return true;
    return std::any_of(connections_.begin(), connections_.end(),
                       [now](const auto& entry) { return entry.second->retryAtMs.load() <= now; });
}

LONG ModbusBackend::checkNode(const std::string& node)
{
    Target target;
    return resolve(node, target);
}

ModbusBackend::Node* ModbusBackend::nodeFor(const std::string& address)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = nodes_.find(address);
    if (it != nodes_.end())
        return it->second.get();
    Target target;
    if (resolve(address, target) != kStatusOk)
        return nullptr;
    std::unique_ptr<Connection>& c = connections_[connectionKey(target)];
    if (!c) {
        c = std::make_unique<Connection>();
        c->link = makeLink(target, c->error);
        if (c->link)
            c->link->setTimeoutMs(settings_.replyTimeoutMs);
    }
    auto node = std::unique_ptr<Node>(new Node{target, RegisterMap(settings_, address, target.rule), c.get()});
    return nodes_.emplace(address, std::move(node)).first->second.get();
}

void ModbusBackend::noteError(const std::string& text)
{
    std::lock_guard<std::mutex> guard(lock_);
    lastError_ = text;
}

std::string ModbusBackend::lastError()
{
    std::lock_guard<std::mutex> guard(lock_);
    return lastError_;
}

LONG ModbusBackend::ensureOpen(Connection& c)
{
    if (cancelled_)
        return kStatusNetworkDown;
    if (!c.link) {
        noteError(c.error);
        return kStatusNetworkDown;
    }
    if (c.link->isOpen())
        return kStatusOk;
    const std::int64_t now = nowMs();
    if (c.retryAtMs.load() > now)
        return kStatusNetworkDown;
    const ModbusFailure opened = c.link->open();
    if (opened.status == kStatusOk) {
        c.backoffMs = 0;
        c.retryAtMs = 0;
        return kStatusOk;
    }
    noteError(c.link->lastError());
    c.backoffMs = c.backoffMs == 0 ? settings_.modbus.reconnectMinMs
                                   : std::min(c.backoffMs * 2, settings_.modbus.reconnectMaxMs);
    c.retryAtMs = nowMs() + c.backoffMs;
    return kStatusNetworkDown;
}

void ModbusBackend::noteFailure(Connection& c, const ModbusFailure& failure)
{
    noteError(c.link->lastError());
    // A connection that was working is tried again at the next request; only failed
    // attempts to open it back off.
    if (failure.effect != LinkEffect::Keep)
        c.retryAtMs = 0;
}

ParameterReading ModbusBackend::readParameter(const std::string& node, LONG menu, LONG parameter)
{
    Node* n = nodeFor(node);
    if (!n)
        return {kStatusUnknownNode, 0, 0};
    ParameterLayout layout;
    if (const LONG status = n->map.layout(menu, parameter, layout); status != kStatusOk)
        return {status, 0, 0};
    if (const LONG status = ensureOpen(*n->connection); status != kStatusOk)
        return {status, 0, 0};
    std::uint16_t registers[2] = {};
    ++requests_;
    const ModbusFailure failure =
        n->connection->link->readRegisters(n->target.unit, layout.firstRegister, layout.registerCount, registers);
    if (failure.status != kStatusOk) {
        noteFailure(*n->connection, failure);
        return {failure.status, 0, 0};
    }
    return {kStatusOk, n->map.decode(layout, registers), layout.decimalPlaces};
}

LONG ModbusBackend::writeParameter(const std::string& node, LONG menu, LONG parameter, LONG value, LONG decimalPlaces)
{
    Node* n = nodeFor(node);
    if (!n)
        return kStatusUnknownNode;
    ParameterLayout layout;
    if (const LONG status = n->map.layout(menu, parameter, layout); status != kStatusOk)
        return status;
    std::uint16_t registers[2] = {};
    if (const LONG status = n->map.encode(layout, value, decimalPlaces, registers); status != kStatusOk)
        return status;
    if (const LONG status = ensureOpen(*n->connection); status != kStatusOk)
        return status;
    ++requests_;
    const ModbusFailure failure =
        n->connection->link->writeRegisters(n->target.unit, layout.firstRegister, layout.registerCount, registers);
    if (failure.status != kStatusOk)
        noteFailure(*n->connection, failure);
    return failure.status;
}

LONG ModbusBackend::readBlock(const std::string& node, LONG menu, LONG firstParameter, std::span<ParameterReading> out)
{
    Node* n = nodeFor(node);
    if (!n)
        return kStatusUnknownNode;
    Connection& c = *n->connection;
    layouts_.assign(out.size(), ParameterLayout{});
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = {};
        out[i].status = n->map.layout(menu, firstParameter + static_cast<LONG>(i), layouts_[i]);
        if (out[i].status != kStatusOk)
            layouts_[i].registerCount = 0;
    }
    RegisterMap::planReads(layouts_, kMaxRegistersPerRead, spans_);
    registers_.resize(kMaxRegistersPerRead);
    for (const RegisterSpan& span : spans_) {
        if (const LONG status = ensureOpen(c); status != kStatusOk)
            return status;
        ++requests_;
        ModbusFailure failure = c.link->readRegisters(n->target.unit, span.first, span.count, registers_.data());
        if (failure.status == kStatusOk) {
            for (std::size_t i = span.beginParameter; i < span.endParameter; ++i) {
                if (layouts_[i].registerCount == 0)
                    continue;
                out[i].value = n->map.decode(layouts_[i], registers_.data() + (layouts_[i].firstRegister - span.first));
                out[i].decimalPlaces = layouts_[i].decimalPlaces;
            }
            continue;
        }
        noteFailure(c, failure);
        if (failure.effect != LinkEffect::Keep)
            return failure.status;
        // The drive refused the span (most often a register that it lacks in the
        // middle): ask parameter by parameter, so that the others still get values.
        for (std::size_t i = span.beginParameter; i < span.endParameter; ++i) {
            if (layouts_[i].registerCount == 0)
                continue;
            std::uint16_t one[2] = {};
            ++requests_;
            failure = c.link->readRegisters(n->target.unit, layouts_[i].firstRegister, layouts_[i].registerCount, one);
            if (failure.status != kStatusOk) {
                noteFailure(c, failure);
                if (failure.effect != LinkEffect::Keep)
                    return failure.status;
                out[i].status = failure.status;
                continue;
            }
            out[i].value = n->map.decode(layouts_[i], one);
            out[i].decimalPlaces = layouts_[i].decimalPlaces;
        }
    }
    return kStatusOk;
}

std::size_t ModbusBackend::maxBlockParameters() const
{
    // With 16-bit parameters one block is one request; 32-bit ones may need two.
    return static_cast<std::size_t>(kMaxRegistersPerRead / settings_.modbus.parameterStride);
}

}  // namespace comms
