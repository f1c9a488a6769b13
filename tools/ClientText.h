// Text forms of the command-line OPC client (kvopc): what it prints for qualities,
// timestamps, values, data types, access rights and result codes, and how it reads the
// values a user types for a write. Portable, so that the native build tests the forms
// a plant engineer and our end-to-end scripts read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/win.h"

namespace kvopc {

// "good" for plain good quality; everything else names itself and shows its code:
// "bad out of service (0x1C)", "uncertain last usable value, low limited (0x45)".
std::string qualityText(std::uint16_t quality);

// UTC as "2026-12-06T07:55:12.345Z", the form python's datetime reads; a zero time
// (none given) is "-".
std::string fileTimeText(const FILETIME& time);

// A value as typed back for a write: numbers in their shortest exact form, true/false,
// strings in double quotes, dates as "2026-12-06 07:55:12", one-dimensional arrays
// as "[1, 2, 3]".
std::string valueText(const VARIANT& value);

// "R4", "BSTR", "I2[]"; unknown types as "VT 0x00xx".
std::string typeName(VARTYPE type);
// Reads "R4", "vt_r4" or "R4[]"; false for anything else.
bool parseTypeName(const std::string& text, VARTYPE& type);

// Bytes of one value of a fixed-size scalar type (I1 to R8, BOOL, CY, DATE, ERROR);
// 0 for texts, variants and anything else.
size_t fixedValueBytes(VARTYPE type);

// "read", "write", "read/write" or "none".
std::string accessText(DWORD rights);

// "OPC_E_UNKNOWNITEMID", "E_INVALIDARG", or "0x8001FFFF" for a code without a name.
std::string resultName(HRESULT result);

// UTF-8 from and to the platform's wide strings (UTF-16 on Windows).
std::string narrow(const wchar_t* text);
std::wstring widen(const std::string& text);

// Reads `text` into `out` as the item's canonical type `type`, so that the server
// gets exactly the value the user typed, in the C locale whatever the machine's.
// Types the client has no reading for travel as text, for the server to convert.
// Returns an empty string, or why the text does not fit (out is then VT_EMPTY).
std::string parseValue(const std::string& text, VARTYPE type, VARIANT& out);

}  // namespace kvopc
