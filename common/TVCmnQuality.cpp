#include "common/TVCmnQuality.h"

#include <cstdio>

namespace {

struct StatusName {
    std::uint16_t status;  // quality and substatus bits
    const char* text;
};

// The substatus names of the OPC DA standard, in its own words.
constexpr StatusName kStatusNames[] = {
    {TVCmnQuality::kBad, "bad"},
    {TVCmnQuality::kBadConfigurationError, "bad, configuration error"},
    {TVCmnQuality::kBadNotConnected, "bad, not connected"},
    {TVCmnQuality::kBadDeviceFailure, "bad, device failure"},
    {TVCmnQuality::kBadSensorFailure, "bad, sensor failure"},
    {TVCmnQuality::kBadLastKnownValue, "bad, last known value"},
    {TVCmnQuality::kBadCommFailure, "bad, comm failure"},
    {TVCmnQuality::kBadOutOfService, "bad, out of service"},
    {TVCmnQuality::kBadWaitingForInitialData, "bad, waiting for initial data"},
    {TVCmnQuality::kUncertain, "uncertain"},
    {TVCmnQuality::kUncertainLastUsableValue, "uncertain, last usable value"},
    {TVCmnQuality::kUncertainSensorNotAccurate, "uncertain, sensor not accurate"},
    {TVCmnQuality::kUncertainEuUnitsExceeded, "uncertain, EU units exceeded"},
    {TVCmnQuality::kUncertainSubNormal, "uncertain, sub-normal"},
    {TVCmnQuality::kGood, "good"},
    {TVCmnQuality::kGoodLocalOverride, "good, local override"},
};

constexpr const char* kLimitNames[] = {"", ", low limited", ", high limited", ", constant"};

}  // namespace

std::string TVCmnQuality::text(std::uint16_t quality)
{
    const std::uint16_t status = quality & kStatusMask;
    std::string result;
    for (const StatusName& name : kStatusNames) {
        if (name.status == status) {
            result = name.text;
            break;
        }
    }
    if (result.empty()) {
        char buffer[48];
        const std::uint16_t major = quality & kQualityMask;
        const char* majorText = major == kGood ? "good" : major == kUncertain ? "uncertain" : major == kBad ? "bad" : "invalid";
        std::snprintf(buffer, sizeof buffer, "%s, substatus %u", majorText, unsigned((status & 0x3C) >> 2));
        result = buffer;
    }
    result += kLimitNames[quality & kLimitMask];
    if (quality & kVendorMask) {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, ", vendor 0x%02X", unsigned(quality >> 8));
        result += buffer;
    }
    return result;
}
