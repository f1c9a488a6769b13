// Modbus RTU (protocol 2): every node on one serial line (serialPort, baudRate, parity,
// dataBits, stopBits in [comms]). A node address is the drive's unit, "3", or ends in
// it, "10.0.1.40:3"; a [node] section may give unitId instead. Units are 1..247.
#pragma once

#include "commsserver/ModbusBackend.h"

namespace comms {

class ModbusRtuBackend final : public ModbusBackend {
public:
    explicit ModbusRtuBackend(const CommsSettings& settings) : ModbusBackend(settings) {}

protected:
    LONG resolve(const std::string& address, Target& out) const override;
    std::string connectionKey(const Target& target) const override;
    std::unique_ptr<ModbusLink> makeLink(const Target& target, std::string& error) const override;
};

}  // namespace comms
