// Building and describing VARIANTs in table-driven tests, the same in both builds.
#pragma once

#include <cstring>
#include <sstream>
#include <string>

#include "common/TVCmnString.h"
#include "common/TVCmnVariant.h"
#include "platform/win.h"

namespace kv::platform::test {

// Owned, so that a failed assertion leaves nothing behind; `vt` is set after `fill`
// because a DECIMAL overlays it.
template <class Fill>
TVCmnVariant make(VARTYPE vt, Fill fill)
{
    TVCmnVariant owner;
    VARIANT& v = *owner.put();
    fill(v);
    v.vt = vt;
    return owner;
}

inline TVCmnVariant UI1(int x) { return make(VT_UI1, [=](VARIANT& v) { v.bVal = static_cast<BYTE>(x); }); }
inline TVCmnVariant I2(int x) { return make(VT_I2, [=](VARIANT& v) { v.iVal = static_cast<SHORT>(x); }); }
inline TVCmnVariant I4(LONGLONG x) { return make(VT_I4, [=](VARIANT& v) { v.lVal = static_cast<LONG>(x); }); }
inline TVCmnVariant UI4(LONGLONG x) { return make(VT_UI4, [=](VARIANT& v) { v.ulVal = static_cast<ULONG>(x); }); }
inline TVCmnVariant UI8(ULONGLONG x) { return make(VT_UI8, [=](VARIANT& v) { v.ullVal = x; }); }
inline TVCmnVariant Bool(bool x) { return make(VT_BOOL, [=](VARIANT& v) { v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; }); }
inline TVCmnVariant Cy(LONGLONG scaled) { return make(VT_CY, [=](VARIANT& v) { v.cyVal.int64 = scaled; }); }
inline TVCmnVariant R4(float x) { return make(VT_R4, [=](VARIANT& v) { v.fltVal = x; }); }
inline TVCmnVariant R8(double x) { return make(VT_R8, [=](VARIANT& v) { v.dblVal = x; }); }
inline TVCmnVariant Date(double x) { return make(VT_DATE, [=](VARIANT& v) { v.date = x; }); }
inline TVCmnVariant Str(std::wstring_view x) { return TVCmnVariant(x); }
inline TVCmnVariant Empty() { return TVCmnVariant(); }
inline TVCmnVariant Null() { return make(VT_NULL, [](VARIANT&) {}); }
inline TVCmnVariant Dec(bool negative, int scale, ULONG hi, ULONGLONG lo)
{
    return make(VT_DECIMAL, [=](VARIANT& v) {
        v.decVal.sign = negative ? DECIMAL_NEG : 0;
        v.decVal.scale = static_cast<BYTE>(scale);
        v.decVal.Hi32 = hi;
        v.decVal.Lo64 = lo;
    });
}

inline std::string describe(const VARIANT& v)
{
    std::ostringstream os;
    os.precision(17);
    os << "vt=" << v.vt << " ";
    switch (v.vt) {
    case VT_UI1: os << int(v.bVal); break;
    case VT_I2: os << v.iVal; break;
    case VT_I4: os << v.lVal; break;
    case VT_UI4: os << v.ulVal; break;
    case VT_I8: os << v.llVal; break;
    case VT_UI8: os << v.ullVal; break;
    case VT_BOOL: os << v.boolVal; break;
    case VT_R4: os << v.fltVal; break;
    case VT_R8: os << v.dblVal; break;
    case VT_DATE: os << v.date; break;
    case VT_CY: os << v.cyVal.int64; break;
    case VT_BSTR: os << '"' << TVCmnString::wideToUtf8({v.bstrVal, SysStringLen(v.bstrVal)}) << '"'; break;
    case VT_DECIMAL:
        os << (v.decVal.sign ? "-" : "+") << " scale " << int(v.decVal.scale) << " hi " << v.decVal.Hi32 << " lo "
           << v.decVal.Lo64;
        break;
    default: break;
    }
    return os.str();
}

inline std::string describe(const TVCmnVariant& v) { return describe(v.get()); }

inline bool sameValue(const VARIANT& actual, const TVCmnVariant& expected) { return describe(actual) == describe(expected); }

}  // namespace kv::platform::test
