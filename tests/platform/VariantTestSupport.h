// Building and describing VARIANTs in table-driven tests, the same in both builds.
#pragma once

#include <cstring>
#include <sstream>
#include <string>

#include "common/TVCmnVariant.h"
#include "platform/win.h"

namespace kv::platform::test {

// A plain value of one VARTYPE, written compactly in test tables.
struct Value {
    VARTYPE vt = VT_EMPTY;
    LONGLONG integer = 0;  // integer types, BOOL, CY (scaled)
    double real = 0;       // R4, R8, DATE
    std::wstring text;     // BSTR
    DECIMAL dec{};
};

inline Value whole(VARTYPE vt, LONGLONG v) { Value x; x.vt = vt; x.integer = v; return x; }
inline Value real(VARTYPE vt, double v) { Value x; x.vt = vt; x.real = v; return x; }
inline Value I1(int v) { return whole(VT_I1, v); }
inline Value UI1(int v) { return whole(VT_UI1, v); }
inline Value I2(int v) { return whole(VT_I2, v); }
inline Value I4(LONGLONG v) { return whole(VT_I4, v); }
inline Value UI4(LONGLONG v) { return whole(VT_UI4, v); }
inline Value I8(LONGLONG v) { return whole(VT_I8, v); }
inline Value UI8(ULONGLONG v) { return whole(VT_UI8, static_cast<LONGLONG>(v)); }
inline Value Bool(bool v) { return whole(VT_BOOL, v ? VARIANT_TRUE : VARIANT_FALSE); }
inline Value Cy(LONGLONG scaled) { return whole(VT_CY, scaled); }
inline Value R4(float v) { return real(VT_R4, v); }
inline Value R8(double v) { return real(VT_R8, v); }
inline Value Date(double v) { return real(VT_DATE, v); }
inline Value Str(const wchar_t* v) { Value x; x.vt = VT_BSTR; x.text = v; return x; }
inline Value Empty() { return Value{}; }
inline Value Null() { Value x; x.vt = VT_NULL; return x; }
inline Value Dec(bool negative, int scale, ULONG hi, ULONGLONG lo)
{
    Value x;
    x.vt = VT_DECIMAL;
    x.dec.sign = negative ? DECIMAL_NEG : 0;
    x.dec.scale = static_cast<BYTE>(scale);
    x.dec.Hi32 = hi;
    x.dec.Lo64 = lo;
    return x;
}

inline TVCmnVariant toVariant(const Value& v)
{
    TVCmnVariant owner;
    VARIANT& out = *owner.put();
    switch (v.vt) {
    case VT_I1: out.cVal = static_cast<CHAR>(v.integer); break;
    case VT_UI1: out.bVal = static_cast<BYTE>(v.integer); break;
    case VT_I2: out.iVal = static_cast<SHORT>(v.integer); break;
    case VT_I4: out.lVal = static_cast<LONG>(v.integer); break;
    case VT_UI4: out.ulVal = static_cast<ULONG>(v.integer); break;
    case VT_I8: out.llVal = v.integer; break;
    case VT_UI8: out.ullVal = static_cast<ULONGLONG>(v.integer); break;
    case VT_BOOL: out.boolVal = static_cast<VARIANT_BOOL>(v.integer); break;
    case VT_R4: out.fltVal = static_cast<FLOAT>(v.real); break;
    case VT_R8: out.dblVal = v.real; break;
    case VT_DATE: out.date = v.real; break;
    case VT_CY: out.cyVal.int64 = v.integer; break;
    case VT_BSTR: out.bstrVal = SysAllocStringLen(v.text.data(), static_cast<UINT>(v.text.size())); break;
    case VT_DECIMAL: out.decVal = v.dec; break;
    default: break;
    }
    out.vt = v.vt;
    return owner;
}

inline std::string narrow(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w) {
        if (c >= 32 && c < 127) {
            s += static_cast<char>(c);
        } else {
            char buf[12];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
            s += buf;
        }
    }
    return s;
}

inline std::string describe(const VARIANT& v)
{
    std::ostringstream os;
    os.precision(17);
    os << "vt=" << v.vt << " ";
    switch (v.vt) {
    case VT_I1: os << int(v.cVal); break;
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
    case VT_BSTR: os << '"' << narrow(std::wstring(v.bstrVal, SysStringLen(v.bstrVal))) << '"'; break;
    case VT_DECIMAL:
        os << (v.decVal.sign ? "-" : "+") << " scale " << int(v.decVal.scale) << " hi " << v.decVal.Hi32 << " lo "
           << v.decVal.Lo64;
        break;
    default: break;
    }
    return os.str();
}

inline std::string describe(const Value& v) { return describe(toVariant(v).get()); }

inline bool sameValue(const VARIANT& actual, const Value& expected) { return describe(actual) == describe(expected); }

}  // namespace kv::platform::test
