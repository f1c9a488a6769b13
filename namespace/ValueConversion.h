// The vocabulary between drives and OPC clients: data-type and access-rights texts of the
// namespace file, drive values (a 32-bit integer with decimal places) to a tag's
// canonical VARIANT and back, and the process-wide full precision mode.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/win.h"

// "VT_I4" -> VT_I4, "VT_R8 ARRAY" -> VT_ARRAY | VT_R8; VT_EMPTY for any other text.
VARTYPE vtFromName(std::string_view name);
// The namespace text of a VARTYPE; "VT_EMPTY" for every VARTYPE without one.
const char* vtToName(VARTYPE vt);
// "READ" 1, "WRITE" 2, "READWRITE" 3; 0 for any other text.
uint32_t accessFromName(std::string_view name);

// A value as the drive holds it: 1234 with 2 decimal places is 12.34. In the write
// direction -1 decimal places means "the drive's raw integer".
struct DriveValue {
    int32_t value = 0;
    int32_t decimalPlaces = 0;
};

// Full precision mode: integer-typed tags carry the drive's raw integer instead of the
// value with its decimal places cut off. Written by the window thread and at start-up,
// read afresh by every conversion.
void setFullPrecisionMode(bool on);
bool fullPrecisionMode();

// The drive value as a VARIANT of the canonical type `vt`. DISP_E_BADVARTYPE for a type
// without a drive conversion (VT_INT, VT_UINT, VT_BSTR, VT_DATE, VT_CY, VT_DECIMAL and
// all arrays); `out` is then VT_EMPTY.
HRESULT driveValueToVariant(DriveValue drive, VARTYPE vt, bool fullPrecision, VARIANT* out);

// A written VARIANT (its own type selects the conversion) as a drive value.
// DISP_E_BADVARTYPE for a type without a drive conversion; OPC_E_RANGE for a floating
// value that no 32-bit drive integer holds (see the .cpp).
HRESULT variantToDriveValue(const VARIANT& written, bool fullPrecision, DriveValue& out);
