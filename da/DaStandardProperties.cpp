#include "da/DaStandardProperties.h"

namespace {

constexpr VARTYPE kStringArray = VT_ARRAY | VT_BSTR;

constexpr DaStandardProperty kTable[] = {
    {1, "Item Canonical DataType", VT_I2, "dataType"},
    {2, "Item Value", VT_EMPTY, "value"},
    {3, "Item Quality", VT_I2, "quality"},
    {4, "Item Timestamp", VT_DATE, "timestamp"},
    {5, "Item Access Rights", VT_I4, "accessRights"},
    {6, "Server Scan Rate", VT_R4, "scanRate"},
    {7, "Item EU Type", VT_I4, "euType"},
    {8, "Item EU Info", kStringArray, "euInfo"},
    {100, "EU Units", VT_BSTR, "engineeringUnits"},
    {101, "Item Description", VT_BSTR, "description"},
    {102, "High EU", VT_R8, "highEU"},
    {103, "Low EU", VT_R8, "lowEU"},
    {104, "High Instrument Range", VT_R8, "highIR"},
    {105, "Low Instrument Range", VT_R8, "lowIR"},
    {106, "Contact Close Label", VT_BSTR, "closeLabel"},
    {107, "Contact Open Label", VT_BSTR, "openLabel"},
    {108, "Item Timezone", VT_I4, "timeZone"},
    {200, "Default Display", VT_BSTR, ""},
    {201, "Current Foreground Color", VT_I4, ""},
    {202, "Current Background Color", VT_I4, ""},
    {203, "Current Blink", VT_BOOL, ""},
    {204, "BMP File", VT_BSTR, ""},
    {205, "Sound File", VT_BSTR, ""},
    {206, "HTML File", VT_BSTR, ""},
    {207, "AVI File", VT_BSTR, ""},
    {2501, "Item Canonical DataType", VT_BSTR, ""},
    {2503, "Item Quality", VT_BSTR, ""},
    {2505, "Item Access Rights", VT_BSTR, ""},
    {2507, "Item EU Type", VT_BSTR, ""},
};

}  // namespace

const DaStandardProperty* daFindStandardProperty(uint32_t id)
{
    for (const DaStandardProperty& entry : kTable) {
        if (entry.id == id)
            return &entry;
    }
    return nullptr;
}

const char* daAccessRightsText(uint32_t rights)
{
    switch (rights) {
    case 1:
        return "readable";
    case 2:
        return "writable";
    case 3:
        return "readWritable";
    default:
        return "unknown";
    }
}

const char* daEuTypeText(LONG euType)
{
    switch (euType) {
    case kDaEuAnalog:
        return "analog";
    case kDaEuEnumerated:
        return "enumerated";
    default:
        return "noEnum";
    }
}
