// The VARTYPE vocabulary of the address space: the data-type texts that namespace files
// and the text property 2501 use, and the set of canonical datatypes a tag accepts.
#pragma once

#include <string_view>

#include "platform/win.h"

// "VT_I4" -> VT_I4, "VT_R8 ARRAY" -> VT_ARRAY | VT_R8; VT_EMPTY for any other text
// (compared exactly, case-sensitively).
VARTYPE daVarTypeFromName(std::string_view name);
// The text of a VARTYPE of that table; "VT_EMPTY" for every other VARTYPE.
const char* daVarTypeToName(VARTYPE vt);
// Whether a tag takes vt as its canonical datatype.
bool daIsCanonicalDatatype(VARTYPE vt);
