// The Modbus backends of the comms server: drive parameters as holding registers
// (ModbusRegisterMap.h), reached over TCP (ModbusTcpBackend, protocol 1) or a serial
// RTU line (ModbusRtuBackend, protocol 2). This base holds what both share: nodes,
// reads and writes, block reads of contiguous loop parameters in requests of up to 125
// registers, and reconnection with back-off.
//
// A connection is made on first use, not by connect(), so that the comms server starts
// with its drives switched off. A lost connection answers kStatusNetworkDown at once
// until the next attempt is due: the first at the next request, then after
// reconnectMinMs, doubling up to reconnectMaxMs.
//
// Threads: requests come from CommsServer's worker only; networkUp() and checkNode()
// may come from any thread, cancel() from the one that stops the server.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "commsserver/CommsBackend.h"
#include "commsserver/CommsSettings.h"
#include "commsserver/ModbusLink.h"
#include "commsserver/ModbusRegisterMap.h"

namespace comms {

class ModbusBackend : public CommsBackend {
public:
    ~ModbusBackend() override;

    // CommsBackend
    LONG connect() override;
    void disconnect() override;
    void cancel() override;
    bool networkUp() override;
    LONG checkNode(const std::string& node) override;
    ParameterReading readParameter(const std::string& node, LONG menu, LONG parameter) override;
    LONG writeParameter(const std::string& node, LONG menu, LONG parameter, LONG value, LONG decimalPlaces) override;
    LONG readBlock(const std::string& node, LONG menu, LONG firstParameter, std::span<ParameterReading> out) override;
    std::size_t maxBlockParameters() const override;

    // Diagnostics: the last libmodbus failure with its errno text, and the requests
    // sent so far (the benchmark's parameters per request).
    std::string lastError();
    std::uint64_t requestCount() const { return requests_.load(); }

protected:
    // Where a node address leads: the connection (TCP host and port; one serial line
    // for RTU), the unit and the register rule.
    struct Target {
        std::string host;
        unsigned port = 0;
        LONG unit = 1;
        RegisterRule rule;
    };

    explicit ModbusBackend(const CommsSettings& settings);

    // kStatusOk and the target, or kStatusUnknownNode. Pure: any thread.
    virtual LONG resolve(const std::string& address, Target& out) const = 0;
    // The key of the connection a target uses; equal keys share one connection.
    virtual std::string connectionKey(const Target& target) const = 0;
    virtual std::unique_ptr<ModbusLink> makeLink(const Target& target, std::string& error) const = 0;

    // The settings' node section for address, or null.
    const NodeSettings* nodeSettings(const std::string& address) const;
    // The rule of a node: its own register base and word order, else the network's.
    RegisterRule ruleFor(const std::string& address) const;

    const CommsSettings settings_;

private:
    struct Connection {
        std::unique_ptr<ModbusLink> link;  // null when libmodbus refused the target
        std::string error;                 // why link is null
        unsigned backoffMs = 0;            // worker only
        // Steady milliseconds before which no attempt is made; 0 while usable. Read by
        // networkUp() on other threads.
        std::atomic<std::int64_t> retryAtMs{0};
    };
    struct Node {
        Target target;
        RegisterMap map;
        Connection* connection;  // not owning: connections_ holds it
    };

    Node* nodeFor(const std::string& address);  // worker; null for an unknown node
    LONG ensureOpen(Connection& c);
    void noteFailure(Connection& c, const ModbusFailure& failure);
    void noteError(const std::string& text);
    static std::int64_t nowMs();

    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint64_t> requests_{0};

    std::mutex lock_;
    std::map<std::string, std::unique_ptr<Node>> nodes_;              // guarded by lock_
    std::map<std::string, std::unique_ptr<Connection>> connections_;  // guarded by lock_
    std::string lastError_;                                           // guarded by lock_

    // Worker-only scratch of readBlock.
    std::vector<ParameterLayout> layouts_;
    std::vector<RegisterSpan> spans_;
    std::vector<std::uint16_t> registers_;
};

}  // namespace comms
