// A small INI reader for the comms settings file: sections of "key = value" lines.
//
// Only the text structure is checked here (sections, keys, line numbers); what the keys
// mean is CommsSettings' business. Kept apart so that it can be fuzzed on its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace comms {

struct IniEntry {
    std::string key;
    std::string value;
    int line = 0;
};

struct IniSection {
    std::string name;  // the text between the brackets, trimmed
    int line = 0;
    std::vector<IniEntry> entries;
};

struct IniDocument {
    std::vector<IniSection> sections;
};

// Files larger than this are refused: a settings file is a few kilobytes, and a huge one
// is a mistake (a wrong path) that should not cost memory.
constexpr std::size_t kMaxIniBytes = 4 * 1024 * 1024;

// Comments are lines starting with ';' or '#', and a ';' after white space on a value
// line or after a section header ('#' cannot start those: it is part of "#3.02"). Keys are unique within a section and compared without regard to case.
// On failure, error says what is wrong and on which line ("line 7: ...").
bool parseIni(std::string_view text, IniDocument& out, std::string& error);

bool equalsNoCase(std::string_view a, std::string_view b);

}  // namespace comms
