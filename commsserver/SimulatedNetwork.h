// The simulated drive network: the default backend of the comms server, so that the
// product runs and is tested with no drives attached.
//
// Drives (nodes) and their parameters come from the settings file: type, range, decimal
// places and a behaviour (constant, ramp, sine, noise, or following another parameter
// with a lag, as speed follows its setpoint). Nodes answer after their latency, and
// faults can be injected from the settings file or, while running, through the API
// below: network down, node silent, reply time-out, write rejected, value out of range.
// Every applied write goes into a write log that tests and the soak test check.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "commsserver/CommsBackend.h"
#include "commsserver/CommsSettings.h"

namespace comms {

struct WriteLogEntry {
    std::uint64_t sequence = 0;  // 1, 2, 3... in the order the writes were applied
    std::string node;
    LONG menu = 0;
    LONG parameter = 0;
    LONG value = 0;          // in the parameter's own decimal places
    LONG decimalPlaces = 0;
};

// Generic parameters of a node with anyParameter: menus 0..99, parameters 0..999.
constexpr LONG kGenericMenuCount = 100;
constexpr LONG kGenericParameterCount = 1000;

class SimulatedNetwork final : public CommsBackend {
public:
    explicit SimulatedNetwork(const CommsSettings& settings);
    ~SimulatedNetwork() override;

    // CommsBackend
    LONG connect() override;
    void disconnect() override;
    void cancel() override;
    bool networkUp() override;
    LONG checkNode(const std::string& node) override;
    ParameterReading readParameter(const std::string& node, LONG menu, LONG parameter) override;
    std::optional<ParameterReading> readParameterAtOnce(const std::string& node, LONG menu, LONG parameter) override;
    LONG writeParameter(const std::string& node, LONG menu, LONG parameter, LONG value, LONG decimalPlaces) override;
    LONG readBlock(const std::string& node, LONG menu, LONG firstParameter, std::span<ParameterReading> out) override;
    std::size_t maxBlockParameters() const override { return kMaxBlockParameters; }

    // Faults, while running. Setters return false for a node or parameter that the
    // network does not have.
    void setNetworkFaults(unsigned faults);  // kFaultNetworkDown and any fault for all nodes
    bool setNodeFaults(const std::string& node, unsigned faults);
    bool setParameterFaults(const std::string& node, LONG menu, LONG parameter, unsigned faults);
    void setReplyTimeoutMs(unsigned ms);
    bool setNodeLatencyMs(const std::string& node, unsigned ms);

    // The drive's own view, without latency or faults: what a panel on the drive shows.
    std::optional<ParameterReading> driveValue(const std::string& node, LONG menu, LONG parameter);
    // Changes a value at the drive (as from its keypad), in engineering units.
    bool setDriveValue(const std::string& node, LONG menu, LONG parameter, double value);

    std::vector<WriteLogEntry> writeLog() const;
    // Called with each applied write once it is in the log and before the drive answers,
    // outside the network's lock: the soak test keeps the log in a file, so that it
    // survives the comms server being killed. Empty (the default): nothing is called.
    using WriteObserver = std::function<void(const WriteLogEntry&)>;
    void setWriteObserver(WriteObserver observer);
    // Requests that reached the network (reads, writes and block reads).
    std::uint64_t requestCount() const;

    // Behaviours follow this clock. By default it is real time since construction;
    // once set by a test it stays where the test puts it.
    void setClockMs(std::uint64_t ms);

private:
    static constexpr std::size_t kMaxBlockParameters = 1000;

    struct Parameter {
        ParameterType type = ParameterType::Int32;
        LONG decimalPlaces = 0;
        double minimum = 0, maximum = 0;  // engineering units
        bool writable = true;
        Behaviour behaviour = Behaviour::Constant;
        double value = 0;  // see ParameterSettings::value
        double amplitude = 0, periodMs = 1, ratePerSecond = 0, lagMs = 0;
        std::uint32_t follows = 0;  // key of the followed parameter
        unsigned faults = kFaultNone;
        // Behaviour state.
        std::uint64_t sinceMs = 0;   // ramp start or last follow step
        double current = 0;          // follow: where the lag has got to
        std::uint64_t noiseState = 0;
    };
    struct Node {
        std::string address;
        unsigned latencyMs = 0;
        bool anyParameter = true;
        unsigned faults = kFaultNone;
        std::unordered_map<std::uint32_t, Parameter> parameters;  // key: menu << 16 | parameter
    };

    static std::uint32_t key(LONG menu, LONG parameter) { return (std::uint32_t(menu) << 16) | std::uint32_t(parameter); }
    static bool isGeneric(LONG menu, LONG parameter);
    static ParameterReading genericReading(LONG menu, LONG parameter);

    Node* findNode(const std::string& address);                          // needs lock_
    Parameter* findParameter(Node& node, LONG menu, LONG parameter, bool materialise);  // needs lock_
    void addParameter(Node& node, const ParameterSettings& p, std::uint64_t nowMs);  // needs lock_
    double evaluate(Node& node, Parameter& p, std::uint64_t nowMs, int depth);  // needs lock_
    ParameterReading reading(Node& node, LONG menu, LONG parameter, std::uint64_t nowMs);  // needs lock_
    // Faults that a read of the parameter meets (network, node and parameter); needs lock_.
    unsigned readFaults(Node& node, LONG menu, LONG parameter);
    void setValue(Parameter& p, double value, std::uint64_t nowMs);     // needs lock_
    std::uint64_t nowMs() const;                                        // needs lock_
    // Waits as a drive takes its time; false when cancelled.
    bool waitMs(unsigned ms);

    mutable std::mutex lock_;
    std::unordered_map<std::string, Node> nodes_;           // guarded by lock_
    std::vector<ParameterSettings> everyNodeParameters_;    // guarded by lock_ (for nodes made on demand)
    bool anyNode_ = false;                                  // guarded by lock_
    unsigned networkFaults_ = kFaultNone;                   // guarded by lock_
    unsigned replyTimeoutMs_ = 1000;                        // guarded by lock_
    unsigned defaultLatencyMs_ = 0;                         // guarded by lock_
    std::vector<WriteLogEntry> writeLog_;                   // guarded by lock_
    std::shared_ptr<const WriteObserver> writeObserver_;    // guarded by lock_; copied out to call
    std::uint64_t requestCount_ = 0;                        // guarded by lock_
    std::optional<std::uint64_t> manualClockMs_;            // guarded by lock_
    const std::uint64_t startTicks_;                        // steady clock at construction, ms

    std::mutex cancelLock_;
    std::condition_variable cancelled_;
    bool cancelRequested_ = false;  // guarded by cancelLock_
};

}  // namespace comms
