// String helpers of the runtime. Texts inside the server are narrow strings in the
// system's ANSI code page; COM texts are wide (WCHAR = wchar_t: UTF-16 on Windows, UTF-32
// in the Linux build) and are converted at the boundary with these functions. UTF-8 is
// for XML documents (trace options, namespace) and is converted here without the system.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/PrintfFormat.h"

class TVCmnString {
public:
    // Code page numbers as Windows names them (CP_ACP, CP_UTF8).
    static constexpr std::uint32_t kCodePageAnsi = 0;
    static constexpr std::uint32_t kCodePageWindows1252 = 1252;
    static constexpr std::uint32_t kCodePageUtf8 = 65001;

    // printf into a string of at most maxLength characters; a longer result is cut.
    // A format the C library refuses gives an empty string.
    static std::string format(std::size_t maxLength, const char* format, ...) KV_PRINTF_FORMAT(2, 3);
    static std::string formatV(std::size_t maxLength, const char* format, va_list args);

    // Without leading and trailing blanks, tabs, carriage returns and line feeds.
    static std::string trim(std::string_view text);
    static std::wstring trim(std::wstring_view text);

    // ASCII letters only: the texts compared this way (command-line switches, hex digits,
    // keywords) are ASCII, and the result must not depend on the system locale.
    static std::string toLowerAscii(std::string_view text);
    static int compareNoCase(std::string_view a, std::string_view b);
    static bool equalsNoCase(std::string_view a, std::string_view b) { return compareNoCase(a, b) == 0; }

    // Through MultiByteToWideChar / WideCharToMultiByte. Characters the code page lacks
    // become '?'; embedded zeros are kept; a failed conversion gives an empty string.
    static std::wstring ansiToWide(std::string_view text, std::uint32_t codePage = kCodePageAnsi);
    static std::string wideToAnsi(std::wstring_view text, std::uint32_t codePage = kCodePageAnsi);
    // For a null pointer (a null BSTR) both give an empty string.
    static std::wstring ansiToWide(const char* text, std::uint32_t codePage = kCodePageAnsi);
    static std::string wideToAnsi(const wchar_t* text, std::uint32_t codePage = kCodePageAnsi);

    // Malformed input (bad UTF-8, lone surrogates, values beyond U+10FFFF) becomes U+FFFD.
    static std::wstring utf8ToWide(std::string_view text);
    static std::string wideToUtf8(std::wstring_view text);
};
