// Owner of a VARIANT: values in the tag caches, in requests and in the arrays handed to
// clients. The destructor clears it (VariantClear), copies go through VariantCopy, so
// BSTRs and SAFEARRAYs inside are never shared or leaked. Copying raises "Out of memory"
// when VariantCopy runs out, and TVCmnException for a VARIANT it refuses.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/win.h"

class TVCmnVariant {
public:
    TVCmnVariant() noexcept { VariantInit(&value_); }
    // Copies another VARIANT (VariantCopy); the source keeps its value.
    explicit TVCmnVariant(const VARIANT& other);
    TVCmnVariant(const TVCmnVariant& other) : TVCmnVariant(other.value_) {}
    TVCmnVariant(TVCmnVariant&& other) noexcept;
    TVCmnVariant& operator=(const TVCmnVariant& other);
    TVCmnVariant& operator=(TVCmnVariant&& other) noexcept;
    ~TVCmnVariant() { clear(); }

    // The values the engine makes itself.
    explicit TVCmnVariant(std::int32_t value) noexcept;  // VT_I4
    explicit TVCmnVariant(double value) noexcept;        // VT_R8
    explicit TVCmnVariant(bool value) noexcept;          // VT_BOOL
    explicit TVCmnVariant(std::wstring_view text);       // VT_BSTR
    explicit TVCmnVariant(const wchar_t* text) : TVCmnVariant(std::wstring_view(text ? text : L"")) {}

    void clear() noexcept;
    VARTYPE vt() const noexcept { return value_.vt; }
    bool isEmpty() const noexcept { return value_.vt == VT_EMPTY; }

    const VARIANT& get() const noexcept { return value_; }
    VARIANT& get() noexcept { return value_; }
    // For [out] arguments; clears what is held first.
    VARIANT* put() noexcept
    {
        clear();
        return &value_;
    }
    // Takes over the contents of a VARIANT the caller owns and leaves it VT_EMPTY.
    void attach(VARIANT& source) noexcept;
    // Moves the contents into 'target' (which must hold nothing that needs clearing):
    // how a value goes into a result array handed to a client.
    void detachTo(VARIANT& target) noexcept;
    // A copy into 'target' (cleared first); the HRESULT of VariantCopy.
    HRESULT copyTo(VARIANT& target) const noexcept;

    // VariantChangeTypeEx in place; on failure the value is left as it was.
    HRESULT changeType(VARTYPE type, LCID lcid = LOCALE_USER_DEFAULT);

private:
    VARIANT value_;
};
