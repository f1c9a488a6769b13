// Readable forms of VARIANTs for trace lines (" send value:%s") and the command-line
// client: "VT_I4 42", "VT_ARRAY|VT_R8 {1.5,2,-3}", "VT_BSTR motor speed". Texts are in the
// system's ANSI code page, like every text inside the server.
#pragma once

#include <string>

#include "platform/win.h"

class TVCmnVariantText {
public:
    // Arrays longer than this show their first elements and ",...".
    static constexpr std::size_t kMaxArrayElements = 1000;

    // "VT_I4", "VT_ARRAY|VT_UI2", "VT_BYREF|VT_R8"; an unknown type as "VT_0x%X".
    static std::string typeName(VARTYPE type);
    // The value alone: 42, 1.5, true, the text of a BSTR, 2024-05-06 07:08:09.123 for a
    // DATE, 0x80004005 for VT_ERROR, {a,b,c} for an array; "" for VT_EMPTY and VT_NULL.
    static std::string valueText(const VARIANT& value);
    // Type name, a blank and the value; just the type name when there is no value.
    static std::string text(const VARIANT& value);
};
