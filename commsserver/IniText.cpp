#include "commsserver/IniText.h"

#include <cctype>
#include <unordered_set>

namespace comms {

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string_view stripInlineComment(std::string_view s)
{
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (s[i] == ';' && (s[i - 1] == ' ' || s[i - 1] == '\t'))
            return s.substr(0, i);
    }
    return s;
}

std::string lineError(int line, const char* what)
{
    return "line " + std::to_string(line) + ": " + what;
}

}  // namespace

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool parseIni(std::string_view text, IniDocument& out, std::string& error)
{
    out.sections.clear();
    if (text.size() > kMaxIniBytes) {
        error = "the file is larger than " + std::to_string(kMaxIniBytes) + " bytes";
        return false;
    }
    // A UTF-8 byte order mark, as Notepad writes it.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    std::unordered_set<std::string> keysOfSection;  // lower case, for duplicates
    int lineNumber = 0;
    while (!text.empty() || lineNumber == 0) {
        ++lineNumber;
        std::size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        if (raw.find('\0') != std::string_view::npos) {
            error = lineError(lineNumber, "not text (contains a NUL byte)");
            return false;
        }
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;

        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string_view::npos) {
                error = lineError(lineNumber, "section header without ']'");
                return false;
            }
            const std::string_view after = trim(line.substr(close + 1));
            if (!after.empty() && after.front() != ';' && after.front() != '#') {
                error = lineError(lineNumber, "text after the section header");
                return false;
            }
            std::string_view name = trim(line.substr(1, close - 1));
            if (name.empty()) {
                error = lineError(lineNumber, "empty section name");
                return false;
            }
            out.sections.push_back({std::string(name), lineNumber, {}});
            keysOfSection.clear();
            continue;
        }

        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            error = lineError(lineNumber, "expected 'key = value'");
            return false;
        }
        if (out.sections.empty()) {
            error = lineError(lineNumber, "a key before the first [section]");
            return false;
        }
        std::string_view key = trim(line.substr(0, eq));
        std::string_view value = trim(stripInlineComment(trim(line.substr(eq + 1))));
        if (key.empty()) {
            error = lineError(lineNumber, "empty key");
            return false;
        }
        std::string lowerKey(key);
        for (char& c : lowerKey)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!keysOfSection.insert(lowerKey).second) {
            error = lineError(lineNumber, "key given twice in one section: ") + std::string(key);
            return false;
        }
        IniSection& section = out.sections.back();
        section.entries.push_back({std::string(key), std::string(value), lineNumber});
    }
    return true;
}

}  // namespace comms
