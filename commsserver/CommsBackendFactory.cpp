#include "commsserver/CommsBackend.h"
#include "commsserver/CommsSettings.h"
#include "commsserver/SimulatedNetwork.h"

namespace comms {

// Modbus TCP and RTU backends are added here, one case each.
LONG createCommsBackend(const CommsSettings& settings, std::shared_ptr<CommsBackend>& out)
{
    switch (settings.protocol) {
    case kProtocolSimulated:
        out = std::make_shared<SimulatedNetwork>(settings);
        return kStatusOk;
    default:
        out.reset();
        return kStatusProtocolUnsupported;
    }
}

}  // namespace comms
