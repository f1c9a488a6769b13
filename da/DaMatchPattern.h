// The OPC wildcard match for browse name filters, case-sensitive: "?" any one character,
// "*" any run (also none), "#" one decimal digit, "[list]" one character of the list
// (ranges such as a-z allowed), "[!list]" one character not in it; every other character
// matches itself. A null filter matches every name.
#pragma once

#include <string_view>

bool daMatchPattern(std::string_view text, std::string_view pattern);
// Whether a filter text uses any of the pattern characters "*?#[]".
bool daIsPattern(std::string_view filter);
