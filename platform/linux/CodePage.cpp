// MultiByteToWideChar and WideCharToMultiByte for the ANSI code page (Windows-1252)
// and UTF-8. Conventions as on Windows: a length of -1 means "through the terminating
// NUL, which is counted"; an output size of 0 asks for the size needed; a buffer too
// small fails with ERROR_INSUFFICIENT_BUFFER.
//
// Windows also "best-fits" some characters into 1252 (e.g. U+0100 to 'A'); we do not,
// and write the default character instead.
#include <string>

#include "platform/win.h"

namespace {

// 0x80..0x9F of Windows-1252. The five bytes 1252 leaves undefined map to the C1
// control with the same value, as Windows does, so every byte round-trips.
const wchar_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool isAnsiCodePage(UINT cp) { return cp == CP_ACP || cp == CP_THREAD_ACP || cp == CP_OEMCP || cp == 1252; }

wchar_t cp1252ToWide(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c; }

// -1 when the character has no 1252 byte.
int wideToCp1252(wchar_t w)
{
    if (w < 0x80 || (w >= 0xA0 && w <= 0xFF))
        return static_cast<int>(w);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == w)
            return 0x80 + i;
    return -1;
}

constexpr wchar_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i..n); advances i. Invalid input yields U+FFFD and
// consumes one byte, so decoding always makes progress.
wchar_t decodeUtf8(const unsigned char* s, int n, int& i, bool& invalid)
{
    unsigned c = s[i++];
    if (c < 0x80)
        return static_cast<wchar_t>(c);
    int extra;
    unsigned cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1; cp = c & 0x1F; min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2; cp = c & 0x0F; min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3; cp = c & 0x07; min = 0x10000;
    } else {
        invalid = true;
        return kReplacement;
    }
    int j = i;
    for (int k = 0; k < extra; ++k, ++j) {
        if (j >= n || (s[j] & 0xC0) != 0x80) {
            invalid = true;
            return kReplacement;
        }
        cp = (cp << 6) | (s[j] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        invalid = true;
        return kReplacement;
    }
    i = j;
    return static_cast<wchar_t>(cp);
}

void encodeUtf8(std::uint32_t cp, std::string& out)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

}  // namespace

UINT GetACP() { return 1252; }

int MultiByteToWideChar(UINT cp, DWORD flags, LPCSTR in, int inLen, LPWSTR out, int outLen)
{
    if (!in || inLen == 0 || inLen < -1 || outLen < 0 || (outLen > 0 && !out))
        return fail(ERROR_INVALID_PARAMETER);
    const bool utf8 = cp == CP_UTF8;
    if (!utf8 && !isAnsiCodePage(cp))
        return fail(ERROR_INVALID_PARAMETER);
    if (utf8 && (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)))
        return fail(ERROR_INVALID_FLAGS);
    const int n = inLen == -1 ? static_cast<int>(std::char_traits<char>::length(in)) + 1 : inLen;
    const auto* s = reinterpret_cast<const unsigned char*>(in);

    std::wstring wide;
    wide.reserve(static_cast<std::size_t>(n));
    if (utf8) {
        bool invalid = false;
        for (int i = 0; i < n;)
            wide += decodeUtf8(s, n, i, invalid);
        if (invalid && (flags & MB_ERR_INVALID_CHARS))
            return fail(ERROR_NO_UNICODE_TRANSLATION);
    } else {
        for (int i = 0; i < n; ++i)
            wide += cp1252ToWide(s[i]);
    }
    const int needed = static_cast<int>(wide.size());
    if (outLen == 0)
        return needed;
    if (outLen < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    wide.copy(out, wide.size());
    return needed;
}

int WideCharToMultiByte(UINT cp, DWORD flags, LPCWSTR in, int inLen, LPSTR out, int outLen,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar)
{
    if (!in || inLen == 0 || inLen < -1 || outLen < 0 || (outLen > 0 && !out))
        return fail(ERROR_INVALID_PARAMETER);
    const bool utf8 = cp == CP_UTF8;
    if (!utf8 && !isAnsiCodePage(cp))
        return fail(ERROR_INVALID_PARAMETER);
    if (utf8 && (defaultChar || usedDefaultChar))
        return fail(ERROR_INVALID_PARAMETER);
    if (utf8 && (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)))
        return fail(ERROR_INVALID_FLAGS);
    const int n = inLen == -1 ? static_cast<int>(std::char_traits<wchar_t>::length(in)) + 1 : inLen;

    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(n));
    bool usedDefault = false;
    for (int i = 0; i < n; ++i) {
        auto w = static_cast<std::uint32_t>(in[i]);
        if (utf8) {
            if (w > 0x10FFFF || (w >= 0xD800 && w <= 0xDFFF)) {
                if (flags & WC_ERR_INVALID_CHARS)
                    return fail(ERROR_NO_UNICODE_TRANSLATION);
                w = kReplacement;
            }
            encodeUtf8(w, bytes);
        } else {
            int b = wideToCp1252(in[i]);
            if (b < 0) {
                usedDefault = true;
                bytes += defaultChar ? *defaultChar : '?';
            } else {
                bytes += static_cast<char>(b);
            }
        }
    }
    if (usedDefaultChar)
        *usedDefaultChar = usedDefault ? TRUE : FALSE;
    const int needed = static_cast<int>(bytes.size());
    if (outLen == 0)
        return needed;
    if (outLen < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    bytes.copy(out, bytes.size());
    return needed;
}
