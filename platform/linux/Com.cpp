// GUIDs, their text form and the task allocator.
#include <cstdlib>

#include "platform/win.h"

namespace {
constexpr int CHARS_IN_GUID = 39;  // braces, 32 digits, 4 dashes, terminator
}

const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

LPVOID CoTaskMemAlloc(SIZE_T cb)
{
    // A zero-byte request still yields a distinct block, as the COM allocator does.
    return std::malloc(cb ? cb : 1);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb)
{
    if (pv && cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb ? cb : 1);
}

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

namespace {

const wchar_t kHexDigits[] = L"0123456789ABCDEF";

int hexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Reads `digits` hex digits at s[pos]; false on any non-hex character.
bool readHex(LPCOLESTR s, int pos, int digits, std::uint32_t& out)
{
    out = 0;
    for (int i = 0; i < digits; ++i) {
        int v = hexValue(s[pos + i]);
        if (v < 0)
            return false;
        out = (out << 4) | static_cast<std::uint32_t>(v);
    }
    return true;
}

// Parses exactly "{8-4-4-4-12}" with nothing after it.
bool parseBracedGuid(LPCOLESTR s, GUID& g)
{
    for (int i = 0; i < CHARS_IN_GUID - 1; ++i)
        if (s[i] == 0)
            return false;
    if (s[CHARS_IN_GUID - 1] != 0 || s[0] != L'{' || s[37] != L'}' || s[9] != L'-' ||
        s[14] != L'-' || s[19] != L'-' || s[24] != L'-')
        return false;
    std::uint32_t v;
    if (!readHex(s, 1, 8, v))
        return false;
    g.Data1 = v;
    if (!readHex(s, 10, 4, v))
        return false;
    g.Data2 = static_cast<WORD>(v);
    if (!readHex(s, 15, 4, v))
        return false;
    g.Data3 = static_cast<WORD>(v);
    static const int kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!readHex(s, kBytePos[i], 2, v))
            return false;
        g.Data4[i] = static_cast<BYTE>(v);
    }
    return true;
}

void putHex(wchar_t*& out, std::uint32_t v, int digits)
{
    for (int i = digits - 1; i >= 0; --i)
        *out++ = kHexDigits[(v >> (4 * i)) & 0xF];
}

HRESULT allocGuidString(REFGUID g, LPOLESTR* out)
{
    if (!out)
        return E_INVALIDARG;
    *out = static_cast<LPOLESTR>(CoTaskMemAlloc(CHARS_IN_GUID * sizeof(OLECHAR)));
    if (!*out)
        return E_OUTOFMEMORY;
    StringFromGUID2(g, *out, CHARS_IN_GUID);
    return S_OK;
}

}  // namespace

int StringFromGUID2(REFGUID g, LPOLESTR lpsz, int cchMax)
{
    if (!lpsz || cchMax < CHARS_IN_GUID)
        return 0;
    wchar_t* p = lpsz;
    *p++ = L'{';
    putHex(p, g.Data1, 8);
    *p++ = L'-';
    putHex(p, g.Data2, 4);
    *p++ = L'-';
    putHex(p, g.Data3, 4);
    *p++ = L'-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            *p++ = L'-';
        putHex(p, g.Data4[i], 2);
    }
    *p++ = L'}';
    *p = 0;
    return CHARS_IN_GUID;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) { return allocGuidString(rclsid, lplpsz); }
HRESULT StringFromIID(REFIID riid, LPOLESTR* lplpsz) { return allocGuidString(riid, lplpsz); }

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (!pclsid)
        return E_INVALIDARG;
    if (!lpsz) {
        *pclsid = CLSID_NULL;
        return S_OK;
    }
    GUID g;
    if (!parseBracedGuid(lpsz, g))
        return CO_E_CLASSSTRING;  // Windows would try a ProgID here; we have no registry
    *pclsid = g;
    return S_OK;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid)
{
    if (!lpiid)
        return E_INVALIDARG;
    if (!lpsz) {
        *lpiid = IID_NULL;
        return S_OK;
    }
    GUID g;
    if (!parseBracedGuid(lpsz, g))
        return CO_E_IIDSTRING;
    *lpiid = g;
    return S_OK;
}
