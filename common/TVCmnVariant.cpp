#include "common/TVCmnVariant.h"

#include <cstring>

#include "common/TVCmnBstr.h"
#include "common/TVCmnException.h"
#include "common/TVCmnString.h"

namespace {

void copyOrThrow(VARIANT& target, const VARIANT& source)
{
    const HRESULT hr = VariantCopy(&target, const_cast<VARIANT*>(&source));
    if (hr == E_OUTOFMEMORY)
        tvCmnThrowOutOfMemory();
    if (FAILED(hr))
        throw TVCmnException(TVCmnString::format(80, "VariantCopy of type 0x%X failed [0x%X]",
                                                 unsigned(source.vt), unsigned(hr)));
}

}  // namespace

TVCmnVariant::TVCmnVariant(const VARIANT& other)
{
    VariantInit(&value_);
    copyOrThrow(value_, other);
}

TVCmnVariant::TVCmnVariant(TVCmnVariant&& other) noexcept
{
    std::memcpy(static_cast<void*>(&value_), &other.value_, sizeof value_);
    VariantInit(&other.value_);
}

TVCmnVariant& TVCmnVariant::operator=(const TVCmnVariant& other)
{
    if (this != &other) {
        // Built aside first: a failed copy leaves this value untouched.
        TVCmnVariant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

TVCmnVariant& TVCmnVariant::operator=(TVCmnVariant&& other) noexcept
{
    if (this != &other) {
        clear();
        std::memcpy(static_cast<void*>(&value_), &other.value_, sizeof value_);
        VariantInit(&other.value_);
    }
    return *this;
}

TVCmnVariant::TVCmnVariant(std::int32_t value) noexcept
{
    VariantInit(&value_);
    value_.vt = VT_I4;
    value_.lVal = value;
}

TVCmnVariant::TVCmnVariant(double value) noexcept
{
    VariantInit(&value_);
    value_.vt = VT_R8;
    value_.dblVal = value;
}

TVCmnVariant::TVCmnVariant(bool value) noexcept
{
    VariantInit(&value_);
    value_.vt = VT_BOOL;
    value_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

TVCmnVariant::TVCmnVariant(std::wstring_view text)
{
    VariantInit(&value_);
    TVCmnBstr bstr(text);
    value_.vt = VT_BSTR;
    value_.bstrVal = bstr.detach();
}

void TVCmnVariant::clear() noexcept
{
    VariantClear(&value_);
}

void TVCmnVariant::attach(VARIANT& source) noexcept
{
    clear();
    std::memcpy(static_cast<void*>(&value_), &source, sizeof value_);
    VariantInit(&source);
}

void TVCmnVariant::detachTo(VARIANT& target) noexcept
{
    std::memcpy(static_cast<void*>(&target), &value_, sizeof value_);
    VariantInit(&value_);
}

HRESULT TVCmnVariant::copyTo(VARIANT& target) const noexcept
{
    VariantClear(&target);
    return VariantCopy(&target, const_cast<VARIANT*>(&value_));
}

HRESULT TVCmnVariant::changeType(VARTYPE type, LCID lcid)
{
    TVCmnVariant converted;
    const HRESULT hr = VariantChangeTypeEx(&converted.value_, &value_, lcid, 0, type);
    if (SUCCEEDED(hr))
        *this = std::move(converted);
    return hr;
}
