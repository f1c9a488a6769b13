#include "commsserver/ModbusTcpBackend.h"

#include <cstdlib>

namespace comms {

void splitNodeAddress(const std::string& address, std::string& host, LONG& unit)
{
    host = address;
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 == address.size() || address.size() - colon > 4)
        return;
    for (std::size_t i = colon + 1; i < address.size(); ++i) {
        if (address[i] < '0' || address[i] > '9')
            return;
    }
    host = address.substr(0, colon);
    unit = std::atol(address.c_str() + colon + 1);
}

LONG ModbusTcpBackend::resolve(const std::string& address, Target& out) const
{
    const NodeSettings* node = nodeSettings(address);
    if (!node && !settings_.anyNode)
        return kStatusUnknownNode;
    Target t;
    t.unit = settings_.modbus.unitId;
    splitNodeAddress(address, t.host, t.unit);
    t.port = settings_.modbus.port;
    if (node) {
        if (!node->host.empty())
            t.host = node->host;
        t.port = node->port.value_or(t.port);
        t.unit = node->unitId.value_or(t.unit);
    }
    if (t.host.empty() || t.unit < 0 || t.unit > 255)
        return kStatusUnknownNode;
    t.rule = ruleFor(address);
    out = t;
    return kStatusOk;
}

std::string ModbusTcpBackend::connectionKey(const Target& target) const
{
    return target.host + ":" + std::to_string(target.port);
}

std::unique_ptr<ModbusLink> ModbusTcpBackend::makeLink(const Target& target, std::string& error) const
{
    return ModbusLink::tcp(target.host, target.port, error);
}

}  // namespace comms
