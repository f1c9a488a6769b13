// Element-wise conversion of one-dimensional arrays held in VARIANTs.
//
// VariantChangeTypeEx does not convert arrays (oleaut32 answers DISP_E_TYPEMISMATCH
// for VT_ARRAY|VT_R8 to VT_ARRAY|VT_I4, and the stand-in does the same), but items
// with array data types need exactly that. This helper converts element by element
// with VariantChangeTypeEx's rules, so it answers the same in both builds. Header-only
// because on Windows kv_platform is the SDK and has no sources of its own.
#pragma once

#include "platform/win.h"

namespace kv::platform {

// Converts src (a 1-D VT_ARRAY of a value type, or a scalar when vt is not an array)
// to vt. The first failing element decides the HRESULT; dest is left untouched then.
inline HRESULT changeArrayType(VARIANT* dest, const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt)
{
    if (!dest || !src)
        return E_INVALIDARG;
    if (!(src->vt & VT_ARRAY) || !(vt & VT_ARRAY) || (src->vt & VT_BYREF) || (vt & VT_BYREF))
        return VariantChangeTypeEx(dest, const_cast<VARIANT*>(src), lcid, flags, vt);
    if (src->vt == vt)
        return VariantCopy(dest, const_cast<VARIANT*>(src));
    SAFEARRAY* in = src->parray;
    if (!in)
        return E_INVALIDARG;
    if (SafeArrayGetDim(in) != 1)
        return DISP_E_TYPEMISMATCH;
    const VARTYPE fromType = src->vt & VT_TYPEMASK;
    const VARTYPE toType = vt & VT_TYPEMASK;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(in, 1, &lower);
    SafeArrayGetUBound(in, 1, &upper);
    SAFEARRAY* out = SafeArrayCreateVector(toType, lower, static_cast<ULONG>(static_cast<LONGLONG>(upper) - lower + 1));
    if (!out)
        return toType == VT_EMPTY || toType == VT_NULL ? DISP_E_BADVARTYPE : E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    for (LONG i = lower; i <= upper && SUCCEEDED(hr); ++i) {
        VARIANT element, converted;
        VariantInit(&element);
        VariantInit(&converted);
        if (fromType == VT_VARIANT) {
            hr = SafeArrayGetElement(in, &i, &element);
        } else {
            element.vt = fromType;
            hr = SafeArrayGetElement(in, &i, fromType == VT_DECIMAL ? static_cast<void*>(&element.decVal)
                                                                    : static_cast<void*>(&element.llVal));
            element.vt = fromType;  // a DECIMAL overwrote it
        }
        if (SUCCEEDED(hr))
            hr = toType == VT_VARIANT ? VariantCopy(&converted, &element)
                                      : VariantChangeTypeEx(&converted, &element, lcid, flags, toType);
        if (SUCCEEDED(hr)) {
            void* value = toType == VT_VARIANT ? static_cast<void*>(&converted)
                        : toType == VT_BSTR ? static_cast<void*>(converted.bstrVal)
                        : toType == VT_DECIMAL ? static_cast<void*>(&converted.decVal)
                        : static_cast<void*>(&converted.llVal);
            hr = SafeArrayPutElement(out, &i, value);
        }
        VariantClear(&element);
        VariantClear(&converted);
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(out);
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        SafeArrayDestroy(out);
        return hr;
    }
    dest->vt = vt;
    dest->parray = out;
    return S_OK;
}

}  // namespace kv::platform
