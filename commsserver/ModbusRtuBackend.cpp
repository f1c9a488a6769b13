#include "commsserver/ModbusRtuBackend.h"

#include "commsserver/ModbusTcpBackend.h"

namespace comms {

namespace {

constexpr LONG kLastRtuUnit = 247;  // above are reserved on a serial line

}  // namespace

LONG ModbusRtuBackend::resolve(const std::string& address, Target& out) const
{
    const NodeSettings* node = nodeSettings(address);
    if (!node && !settings_.anyNode)
        return kStatusUnknownNode;
    Target t;
    t.unit = -1;
    std::string rest;
    splitNodeAddress(address, rest, t.unit);
    if (t.unit < 0)
        splitNodeAddress(":" + address, rest, t.unit);  // the whole address a number
    if (node && node->unitId)
        t.unit = *node->unitId;
    if (t.unit < 1 || t.unit > kLastRtuUnit)
        return kStatusUnknownNode;
    t.host = settings_.modbus.serialPort;
    t.rule = ruleFor(address);
    out = t;
    return kStatusOk;
}

std::string ModbusRtuBackend::connectionKey(const Target&) const
{
    return settings_.modbus.serialPort;
}

std::unique_ptr<ModbusLink> ModbusRtuBackend::makeLink(const Target&, std::string& error) const
{
    const ModbusSettings& m = settings_.modbus;
    return ModbusLink::rtu(m.serialPort, m.baudRate, m.parity, m.dataBits, m.stopBits, error);
}

}  // namespace comms
