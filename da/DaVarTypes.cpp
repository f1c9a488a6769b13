#include "da/DaVarTypes.h"

namespace {

struct NamedType {
    const char* name;
    VARTYPE vt;
};

constexpr NamedType kNamedTypes[] = {
    {"VT_BSTR", VT_BSTR},
    {"VT_BOOL", VT_BOOL},
    {"VT_UI1", VT_UI1},
    {"VT_UI2", VT_UI2},
    {"VT_UI4", VT_UI4},
    {"VT_UINT", VT_UINT},
    {"VT_INT", VT_INT},
    {"VT_I1", VT_I1},
    {"VT_I2", VT_I2},
    {"VT_I4", VT_I4},
    {"VT_R4", VT_R4},
    {"VT_R8", VT_R8},
    {"VT_DATE", VT_DATE},
    {"VT_DECIMAL", VT_DECIMAL},
    {"VT_CY", VT_CY},
    {"VT_BSTR ARRAY", VT_ARRAY | VT_BSTR},
    {"VT_BOOL ARRAY", VT_ARRAY | VT_BOOL},
    {"VT_UI1 ARRAY", VT_ARRAY | VT_UI1},
    {"VT_UI2 ARRAY", VT_ARRAY | VT_UI2},
    {"VT_UI4 ARRAY", VT_ARRAY | VT_UI4},
    {"VT_UINT ARRAY", VT_ARRAY | VT_UINT},
    {"VT_INT ARRAY", VT_ARRAY | VT_INT},
    {"VT_I1 ARRAY", VT_ARRAY | VT_I1},
    {"VT_I2 ARRAY", VT_ARRAY | VT_I2},
    {"VT_I4 ARRAY", VT_ARRAY | VT_I4},
    {"VT_R4 ARRAY", VT_ARRAY | VT_R4},
    {"VT_R8 ARRAY", VT_ARRAY | VT_R8},
    {"VT_DATE ARRAY", VT_ARRAY | VT_DATE},
    {"VT_DECIMAL ARRAY", VT_ARRAY | VT_DECIMAL},
    {"VT_CY ARRAY", VT_ARRAY | VT_CY},
};

}  // namespace

VARTYPE daVarTypeFromName(std::string_view name)
{
    for (const NamedType& entry : kNamedTypes) {
        if (name == entry.name)
            return entry.vt;
    }
    return VT_EMPTY;
}

const char* daVarTypeToName(VARTYPE vt)
{
    for (const NamedType& entry : kNamedTypes) {
        if (vt == entry.vt)
            return entry.name;
    }
    return "VT_EMPTY";
}

bool daIsCanonicalDatatype(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        break;
    }
    if ((vt & ~VT_ARRAY) == 0 || (vt & VT_ARRAY) == 0)
        return false;
    const VARTYPE element = vt & ~VT_ARRAY;
    // Arrays of VT_I2 to VT_BSTR, of VT_BOOL and VT_VARIANT, and of VT_I1 to VT_UINT.
    return (element >= VT_I2 && element <= VT_BSTR) || element == VT_BOOL || element == VT_VARIANT ||
           (element >= VT_I1 && element <= VT_UINT);
}
