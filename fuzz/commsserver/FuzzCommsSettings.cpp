// The comms settings file is typed by hand and edited by the settings dialog: any text
// must give a status and an error, or settings that hold together.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "commsserver/CommsSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    comms::CommsSettings settings;
    std::string error;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const LONG status = comms::parseCommsSettings(text, settings, error);
    if (status != kStatusOk) {
        if (error.empty())
            std::abort();  // every refusal says why
        return 0;
    }
    // Accepted settings keep the promises the simulator relies on.
    if (settings.protocol < kProtocolSimulated || settings.protocol > kProtocolModbusRtu || settings.replyTimeoutMs == 0)
        std::abort();
    for (const comms::ParameterSettings& p : settings.parameters) {
        if (!(p.minimum <= p.maximum) || !std::isfinite(p.value) || p.decimalPlaces < comms::kMinDecimalPlaces ||
            p.decimalPlaces > comms::kMaxDecimalPlaces || p.periodMs <= 0)
            std::abort();
    }
    return 0;
}
