// Text at the COM boundary: wide strings in, UTF-8 inside (settings, node keys).
#pragma once

#include <string>

#include "platform/win.h"

namespace comms {

using WideString = std::basic_string<WCHAR>;

// WCHAR is UTF-16 on Windows and UTF-32 in the Linux build; both become UTF-8.
// Unpaired surrogates and invalid code points become U+FFFD.
std::string toUtf8(LPCWSTR text);
WideString toWide(const std::string& utf8);

}  // namespace comms
