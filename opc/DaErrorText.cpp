#include "opc/DaErrorText.h"

#include <cstdio>
#include <cstring>

#include "idl/opcerror.h"

HRESULT daErrorString(HRESULT code, LCID lcid, std::string& text, const DaMessageSource& source,
                      DWORD facility)
{
    const LANGID language = LANGIDFROMLCID(lcid);
    const DWORD severity = static_cast<DWORD>(code) >> 30;
    // Only errors (11) and successes (00) are ours to explain: warnings and
    // informational codes (E_FAIL is 10) are the platform's.
    if (severity == 3 || severity == 0) {
        const DWORD messageId = daMessageId(code, facility);
        if (source.tableText(messageId, language, text)) return S_OK;
        if (language != kDaLanguageEnglish && source.tableText(messageId, kDaLanguageEnglish, text)) {
            return S_OK;
        }
    }
    if (source.systemText(code, language, text)) return S_OK;
    const LANGID systemDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT);
    if (language != systemDefault && source.systemText(code, systemDefault, text)) return S_OK;
    text.clear();
    return E_INVALIDARG;
}

HRESULT daErrorStringForClient(HRESULT code, LCID lcid, LPWSTR* ppString, const DaMessageSource& source)
{
    if (!ppString) return E_INVALIDARG;
    *ppString = nullptr;
    std::string text;
    HRESULT hr = daErrorString(code, lcid, text, source);
    if (FAILED(hr)) return hr;
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    auto* wide = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(WCHAR) * static_cast<size_t>(length > 0 ? length : 1)));
    if (!wide) return E_OUTOFMEMORY;
    wide[0] = 0;
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, length);
    *ppString = wide;
    return S_OK;
}

std::span<const DaResultCodeName> daResultCodeNames()
{
    static const DaResultCodeName kNames[] = {
        {0x00000000, "S_OK"},
        {0x0004000D, "S_UNSUPPORTEDRATE"},
        {0x0004000E, "S_CLAMP"},
        {0x00040404, "S_DATAQUEUEOVERFLOW"},
        {0x80004005, "E_FAIL"},
        {0x80070057, "E_INVALIDARG"},
        {0x8007000E, "E_OUTOFMEMORY"},
        {0x80070005, "E_ACCESS_DENIED"},
        {0x8002000A, "E_RANGE"},
        {0xC0040001, "E_INVALIDITEMNAME"},
        {0xC0040004, "E_BADTYPE"},
        {0xC0040005, "E_PUBLIC"},
        {0xC0040006, "E_ACCESS_DENIED"},
        {0xC0040007, "E_UNKNOWNITEMNAME"},
        {0xC0040008, "E_INVALIDITEMNAME"},
        {0xC0040009, "E_INVALIDFILTER"},
        {0xC004000A, "E_UNKNOWNITEMPATH"},
        {0xC004000B, "E_RANGE"},
        {0xC0040203, "E_INVALIDPID"},
        {0xC0040400, "E_DEADBANDNOTSET"},
        {0xC0040401, "E_DEADBANDNOTSUPPORTED"},
        {0xC0040402, "E_NOBUFFERING"},
        {0xC0040403, "E_INVALIDCONTINUATIONPOINT"},
        {0xC0040405, "E_RATENOTSET"},
        {0xC0040406, "E_NOTSUPPORTED"},
        {0xC0045600, "E_INVALIDHOLDTIME"},
        {0xC0045601, "E_INVALIDITEMNAME"},
        {0xC0045602, "E_INVALIDITEMPATH"},
        {0xC0045603, "E_NOSUBSCRIPTION"},
        {0xC0045604, "E_READONLY"},
        {0xC0045605, "E_WRITEONLY"},
        {0xC0045606, "E_UNKNOWNITEMNAME"},
        {0xC0045607, "E_UNKNOWNITEMPATH"},
        {0xC0045608, "E_TIMEDOUT"},
        {0xC0045609, "E_SERVERSTATE"},
        {0xC0045610, "E_ACCESS_DENIED"},
        {0xC0045611, "E_BUSY"},
    };
    return kNames;
}

std::string daResultCodeName(HRESULT code)
{
    for (const DaResultCodeName& entry : daResultCodeNames()) {
        if (entry.code == static_cast<DWORD>(code)) return entry.name;
    }
    char text[32];
    snprintf(text, sizeof text, "ERROR 0x%8.8lX", static_cast<unsigned long>(static_cast<DWORD>(code)));
    return text;
}
