// What CommsServer needs from a drive network: the one seam between the ICommsServer
// logic (clients, replies, the polling loop) and a way of reaching drives.
//
// Backends: SimulatedNetwork (protocol 0, the default). Modbus TCP and RTU come as
// further implementations created by createCommsBackend().
//
// All calls but readParameterAtOnce come from CommsServer's one worker thread, so a
// backend need not serialise its requests; a backend's own test API may be called from
// other threads meanwhile.
// Calls block for as long as the drive takes (latency, time-outs); cancel() makes a
// blocked call return soon with kStatusNetworkDown so that the server can stop.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "commsserver/CommsServerInterface.h"

namespace comms {

struct CommsSettings;

// One parameter's answer: status kStatusOk with its raw value and decimal places, or a
// negative status (kStatusNoSuchParameter for a parameter that the node lacks).
struct ParameterReading {
    LONG status = kStatusOk;
    LONG value = 0;
    LONG decimalPlaces = 0;
};

class CommsBackend {
public:
    virtual ~CommsBackend() = default;

    // Opens the connections; kStatusOk or a negative status. Called by ApplySettings.
    virtual LONG connect() = 0;
    virtual void disconnect() = 0;
    // Makes a call in progress (on another thread) return soon; later calls fail fast.
    virtual void cancel() = 0;

    // False while the network is known to be down: requests are refused at once with
    // kStatusNetworkDown instead of being queued.
    virtual bool networkUp() = 0;
    // kStatusOk when the node address is one this network has, else kStatusUnknownNode.
    virtual LONG checkNode(const std::string& node) = 0;

    // Direct requests. The status is kStatusOk or a negative status; kStatusNodeSilent
    // and kStatusReplyTimeout mean the drive's answer did not come in time.
    virtual ParameterReading readParameter(const std::string& node, LONG menu, LONG parameter) = 0;
    virtual LONG writeParameter(const std::string& node, LONG menu, LONG parameter, LONG value,
                                LONG decimalPlaces) = 0;
    // The same read when its answer is in memory already (no latency, no fault pending):
    // then CommsServer answers on the caller's thread instead of waking its worker. Empty
    // when the answer would take any waiting; the request then goes to the worker. Called
    // on the caller's thread, also while the worker is in a loop read, so a backend that
    // answers here must guard its state itself. A backend that talks to real drives never
    // answers at once.
    virtual std::optional<ParameterReading> readParameterAtOnce(const std::string& node, LONG menu, LONG parameter)
    {
        (void)node, (void)menu, (void)parameter;
        return std::nullopt;
    }

    // Reads parameters first..first+out.size()-1 of one menu of one node in one request
    // (at most maxBlockParameters()). A negative return fails the whole block (node
    // silent, network down); otherwise each reading carries its own status.
    virtual LONG readBlock(const std::string& node, LONG menu, LONG firstParameter,
                           std::span<ParameterReading> out) = 0;
    virtual std::size_t maxBlockParameters() const = 0;
};

// The backend for a protocol: kStatusOk and the backend, or kStatusProtocolUnsupported.
LONG createCommsBackend(const CommsSettings& settings, std::shared_ptr<CommsBackend>& out);

}  // namespace comms
