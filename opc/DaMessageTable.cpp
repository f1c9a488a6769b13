#include "opc/DaMessageTable.h"

#include <iterator>

namespace {

const DaMessageText kTexts[] = {
#include "DaMessageTable.inc"
};

// The ANSI code page form of a wide text, as FormatMessageA gives it.
std::string toAnsi(const wchar_t* text)
{
    int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

}  // namespace

const DaMessageText* daMessageTexts(size_t* count)
{
    *count = std::size(kTexts);
    return kTexts;
}

const wchar_t* daFindMessageText(DWORD messageId, LANGID language)
{
    for (const DaMessageText& entry : kTexts) {
        if (entry.messageId == messageId && entry.language == language) return entry.text;
    }
    return nullptr;
}

bool DaCompiledMessageSource::tableText(DWORD messageId, LANGID language, std::string& text) const
{
    // What FormatMessage does with the non-table language values.
    if (language == MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)) {
        language = GetSystemDefaultLangID();
    } else if (language == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
               language == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) {
        language = GetUserDefaultLangID();
    }
    const wchar_t* found = daFindMessageText(messageId, language);
    if (!found) return false;
    text = toAnsi(found);
    return true;
}

bool DaCompiledMessageSource::systemText(HRESULT, LANGID, std::string&) const
{
    return false;
}
