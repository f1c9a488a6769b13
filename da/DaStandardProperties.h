// The OPC DA standard item properties: description, datatype and the XML attribute name
// used by the watch interface, by property ID. Tags answer IDs 1 to 6 from their own
// fields, so no property object exists for them (a drive namespace has 100,000 tags).
#pragma once

#include <cstdint>

#include "platform/win.h"

inline constexpr uint32_t kDaPropDataType = 1;
inline constexpr uint32_t kDaPropValue = 2;
inline constexpr uint32_t kDaPropQuality = 3;
inline constexpr uint32_t kDaPropTimestamp = 4;
inline constexpr uint32_t kDaPropAccessRights = 5;
inline constexpr uint32_t kDaPropScanRate = 6;
inline constexpr uint32_t kDaPropEuType = 7;
inline constexpr uint32_t kDaPropEuInfo = 8;
inline constexpr uint32_t kDaPropEuUnits = 100;
inline constexpr uint32_t kDaPropDescription = 101;
inline constexpr uint32_t kDaPropHighEu = 102;
inline constexpr uint32_t kDaPropLowEu = 103;
inline constexpr uint32_t kDaPropHighIr = 104;
inline constexpr uint32_t kDaPropLowIr = 105;
inline constexpr uint32_t kDaPropTimezone = 108;
// Text forms of 1, 3, 5 and 7 sit 2500 above them.
inline constexpr uint32_t kDaPropTextOffset = 2500;
inline constexpr uint32_t kDaPropDataTypeText = 2501;
inline constexpr uint32_t kDaPropQualityText = 2503;
inline constexpr uint32_t kDaPropAccessRightsText = 2505;
inline constexpr uint32_t kDaPropEuTypeText = 2507;

// EU types (OPC_NOENUM, OPC_ANALOG, OPC_ENUMERATED).
inline constexpr LONG kDaEuNone = 0;
inline constexpr LONG kDaEuAnalog = 1;
inline constexpr LONG kDaEuEnumerated = 2;

struct DaStandardProperty {
    uint32_t id;
    const char* description;
    VARTYPE datatype;     // VT_EMPTY for "the tag's canonical datatype" (ID 2)
    const char* xmlName;  // "" when the watch interface has no attribute for it
};

// The table entry of a standard ID, or null for any other ID (2502, 2504 and 2506
// included: they are accepted but get nothing).
const DaStandardProperty* daFindStandardProperty(uint32_t id);

// Text forms used by 2505 and 2507.
const char* daAccessRightsText(uint32_t rights);
const char* daEuTypeText(LONG euType);
