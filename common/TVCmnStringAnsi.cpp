// The conversions that go through the system's code pages (MultiByteToWideChar and
// WideCharToMultiByte); the rest of TVCmnString is independent of the platform.
#include "common/TVCmnString.h"

#include <climits>
#include <cstring>
#include <cwchar>

#include "platform/win.h"

std::wstring TVCmnString::ansiToWide(std::string_view text, std::uint32_t codePage)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return {};
    std::wstring result(static_cast<std::size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, text.data(), length, result.data(), needed);
    result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return result;
}

std::string TVCmnString::wideToAnsi(std::wstring_view text, std::uint32_t codePage)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string result(static_cast<std::size_t>(needed), '\0');
    const int written = WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
    result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return result;
}

std::wstring TVCmnString::ansiToWide(const char* text, std::uint32_t codePage)
{
    return text ? ansiToWide(std::string_view(text, std::strlen(text)), codePage) : std::wstring();
}

std::string TVCmnString::wideToAnsi(const wchar_t* text, std::uint32_t codePage)
{
    return text ? wideToAnsi(std::wstring_view(text, std::wcslen(text)), codePage) : std::string();
}
