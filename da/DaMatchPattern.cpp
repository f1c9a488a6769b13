#include "da/DaMatchPattern.h"

#include <cstddef>

namespace {

// Matches one character against the list that starts after '['; sets `end` past ']'.
// A list without its ']' matches '[' literally.
bool matchList(char c, std::string_view pattern, size_t open, size_t& end, bool& wellFormed)
{
    size_t i = open + 1;
    bool negate = false;
    if (i < pattern.size() && pattern[i] == '!') {
        negate = true;
        ++i;
    }
    bool found = false;
    const size_t first = i;
    for (; i < pattern.size(); ++i) {
        if (pattern[i] == ']' && i > first)
            break;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            if (c >= pattern[i] && c <= pattern[i + 2])
                found = true;
            i += 2;
        } else if (pattern[i] == c) {
            found = true;
        }
    }
    wellFormed = i < pattern.size();
    end = i + 1;
    return found != negate;
}

// Matches one pattern element (not '*') at p against c; sets `next` past the element.
bool matchOne(char c, std::string_view pattern, size_t p, size_t& next)
{
    const char pc = pattern[p];
    next = p + 1;
    if (pc == '?')
        return true;
    if (pc == '#')
        return c >= '0' && c <= '9';
    if (pc == '[') {
        size_t end = 0;
        bool wellFormed = false;
        const bool hit = matchList(c, pattern, p, end, wellFormed);
        if (!wellFormed)
            return c == '[';
        next = end;
        return hit;
    }
    return c == pc;
}

// The usual single-backtrack wildcard walk: on a mismatch, let the last '*' take one more
// character. Every element other than '*' takes exactly one character, so this is exact
// and stays O(text x pattern) whatever a client sends.
bool matchFrom(std::string_view text, std::string_view pattern)
{
    size_t t = 0, p = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        size_t next = 0;
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starT = t;
        } else if (p < pattern.size() && matchOne(text[t], pattern, p, next)) {
            p = next;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

}  // namespace

bool daMatchPattern(std::string_view text, std::string_view pattern) { return matchFrom(text, pattern); }

bool daIsPattern(std::string_view filter) { return filter.find_first_of("*?#[]") != std::string_view::npos; }
