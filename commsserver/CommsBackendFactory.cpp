#include "commsserver/CommsBackend.h"
#include "commsserver/CommsSettings.h"
#include "commsserver/ModbusRtuBackend.h"
#include "commsserver/ModbusTcpBackend.h"
#include "commsserver/SimulatedNetwork.h"

namespace comms {

LONG createCommsBackend(const CommsSettings& settings, std::shared_ptr<CommsBackend>& out)
{
    switch (settings.protocol) {
    case kProtocolSimulated:
        out = std::make_shared<SimulatedNetwork>(settings);
        return kStatusOk;
    case kProtocolModbusTcp:
        out = std::make_shared<ModbusTcpBackend>(settings);
        return kStatusOk;
    case kProtocolModbusRtu:
        out = std::make_shared<ModbusRtuBackend>(settings);
        return kStatusOk;
    default:
        out.reset();
        return kStatusProtocolUnsupported;
    }
}

}  // namespace comms
