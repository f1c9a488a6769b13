// Modbus TCP (protocol 1): one connection per drive host. A node address is "HOST" or
// "HOST:UNIT" (a gateway with the drive's unit behind it, e.g. 10.0.1.40:3); a [node]
// section may give host, port and unitId instead. Drives behind one gateway share its
// connection.
#pragma once

#include "commsserver/ModbusBackend.h"

namespace comms {

class ModbusTcpBackend final : public ModbusBackend {
public:
    explicit ModbusTcpBackend(const CommsSettings& settings) : ModbusBackend(settings) {}

protected:
    LONG resolve(const std::string& address, Target& out) const override;
    std::string connectionKey(const Target& target) const override;
    std::unique_ptr<ModbusLink> makeLink(const Target& target, std::string& error) const override;
};

// "HOST:UNIT" split at its last colon when what follows is a number; else the whole
// text is the host and unit is left alone.
void splitNodeAddress(const std::string& address, std::string& host, LONG& unit);

}  // namespace comms
