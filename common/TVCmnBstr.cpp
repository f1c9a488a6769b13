#include "common/TVCmnBstr.h"

#include <climits>

#include "common/TVCmnException.h"
#include "common/TVCmnString.h"

namespace {

BSTR allocate(std::wstring_view text)
{
    if (text.size() > UINT_MAX / sizeof(wchar_t))
        tvCmnThrowOutOfMemory();
    return tvCmnCheckAlloc(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

}  // namespace

TVCmnBstr::TVCmnBstr(const wchar_t* text) : bstr_(text ? allocate(text) : nullptr) {}

TVCmnBstr::TVCmnBstr(std::wstring_view text) : bstr_(allocate(text)) {}

TVCmnBstr::TVCmnBstr(const TVCmnBstr& other) : bstr_(other.bstr_ ? allocate(other.view()) : nullptr) {}

TVCmnBstr TVCmnBstr::fromAnsi(std::string_view text)
{
    return TVCmnBstr(std::wstring_view(TVCmnString::ansiToWide(text)));
}

void TVCmnBstr::reset() noexcept
{
    if (bstr_)
        SysFreeString(bstr_);
    bstr_ = nullptr;
}

HRESULT TVCmnBstr::copyTo(BSTR* out) const noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!bstr_)
        return S_OK;
    *out = SysAllocStringLen(bstr_, SysStringLen(bstr_));
    return *out ? S_OK : E_OUTOFMEMORY;
}

std::size_t TVCmnBstr::length() const noexcept
{
    return bstr_ ? SysStringLen(bstr_) : 0;
}

std::string TVCmnBstr::toAnsi() const
{
    return TVCmnString::wideToAnsi(view());
}
