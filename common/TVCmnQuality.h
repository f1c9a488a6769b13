// OPC DA quality codes: named values and the readable text used in traces and by the
// command-line client. Layout of the 16-bit quality (OPC DA): bits 7-6 the quality
// (bad 00, uncertain 01, good 11), bits 5-2 the substatus, bits 1-0 the limit
// (none, low limited, high limited, constant), bits 15-8 free for the vendor.
#pragma once

#include <cstdint>
#include <string>

class TVCmnQuality {
public:
    static constexpr std::uint16_t kQualityMask = 0xC0;
    static constexpr std::uint16_t kStatusMask = 0xFC;
    static constexpr std::uint16_t kLimitMask = 0x03;
    static constexpr std::uint16_t kVendorMask = 0xFF00;

    static constexpr std::uint16_t kBad = 0x00;
    static constexpr std::uint16_t kUncertain = 0x40;
    static constexpr std::uint16_t kGood = 0xC0;

    static constexpr std::uint16_t kBadConfigurationError = 0x04;
    static constexpr std::uint16_t kBadNotConnected = 0x08;
    static constexpr std::uint16_t kBadDeviceFailure = 0x0C;
    static constexpr std::uint16_t kBadSensorFailure = 0x10;
    static constexpr std::uint16_t kBadLastKnownValue = 0x14;
    static constexpr std::uint16_t kBadCommFailure = 0x18;
    static constexpr std::uint16_t kBadOutOfService = 0x1C;
    static constexpr std::uint16_t kBadWaitingForInitialData = 0x20;
    static constexpr std::uint16_t kUncertainLastUsableValue = 0x44;
    static constexpr std::uint16_t kUncertainSensorNotAccurate = 0x50;
    static constexpr std::uint16_t kUncertainEuUnitsExceeded = 0x54;
    static constexpr std::uint16_t kUncertainSubNormal = 0x58;
    static constexpr std::uint16_t kGoodLocalOverride = 0xD8;

    static constexpr std::uint16_t kLimitLow = 0x01;
    static constexpr std::uint16_t kLimitHigh = 0x02;
    static constexpr std::uint16_t kLimitConstant = 0x03;

    static constexpr bool isGood(std::uint16_t quality) { return (quality & kQualityMask) == kGood; }

    // "good", "uncertain, last usable value", "bad, comm failure, high limited", ...
    // An unassigned substatus is shown by number; vendor bits are shown in hex.
    static std::string text(std::uint16_t quality);
};
