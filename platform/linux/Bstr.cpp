// BSTR: a byte count in the 4 bytes before the characters, then the characters and a
// terminating NUL. Callers may embed NULs; NULL stands for the empty string.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/win.h"

namespace {

constexpr std::size_t kPrefix = sizeof(DWORD);

// Allocates room for `bytes` bytes of text plus a whole OLECHAR of terminator.
BSTR allocBytes(const void* src, std::size_t bytes)
{
    if (bytes > UINT_MAX - kPrefix - sizeof(OLECHAR))
        return nullptr;
    auto* block = static_cast<BYTE*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    const DWORD length = static_cast<DWORD>(bytes);
    std::memcpy(block, &length, kPrefix);
    BYTE* text = block + kPrefix;
    if (src)
        std::memcpy(text, src, bytes);
    else
        std::memset(text, 0, bytes);
    std::memset(text + bytes, 0, sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(text);
}

BYTE* blockOf(BSTR s) { return reinterpret_cast<BYTE*>(s) - kPrefix; }

}  // namespace

BSTR SysAllocString(const OLECHAR* psz)
{
    if (!psz)
        return nullptr;
    return allocBytes(psz, std::wcslen(psz) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    if (ui > (UINT_MAX - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR))
        return nullptr;
    return allocBytes(strIn, static_cast<std::size_t>(ui) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return allocBytes(psz, len); }

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len)
{
    if (!pbstr)
        return FALSE;
    // The source may point into the old string, so build the new one first.
    BSTR fresh = SysAllocStringLen(psz, len);
    if (!fresh)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (!pbstr)
        return FALSE;
    if (!psz) {
        SysFreeString(*pbstr);
        *pbstr = nullptr;
        return TRUE;
    }
    return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(std::wcslen(psz)));
}

void SysFreeString(BSTR s)
{
    if (s)
        std::free(blockOf(s));
}

UINT SysStringByteLen(BSTR s)
{
    if (!s)
        return 0;
    DWORD length;
    std::memcpy(&length, blockOf(s), kPrefix);
    return length;
}

UINT SysStringLen(BSTR s) { return SysStringByteLen(s) / sizeof(OLECHAR); }
