// VariantChangeTypeEx between the Automation value types, answering as oleaut32 does:
// DISP_E_OVERFLOW out of range, DISP_E_TYPEMISMATCH for text that is no value of the
// type (and for arrays of another type: oleaut32 does not convert arrays, see
// platform/VariantArray.h), DISP_E_BADVARTYPE for types that are no VARIANT types.
// Floating point goes to integers rounding half to even.
#include <cmath>
#include <cstring>
#include <cwchar>
#include <limits>

#include "platform/linux/VariantInternal.h"

namespace kv::platform {

std::size_t valueSize(VARTYPE base)
{
    switch (base) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 8;
    }
}

}  // namespace kv::platform

namespace {

using kv::platform::Number;

// A source value, reduced to what the conversions need.
struct Source {
    enum Kind { Empty, Signed, Unsigned, Bool, Real, Currency, Decimal, Text } kind = Empty;
    VARTYPE vt = VT_EMPTY;
    LONGLONG s = 0;
    ULONGLONG u = 0;
    double real = 0;
    DECIMAL dec{};
    const OLECHAR* text = nullptr;
    std::size_t textLength = 0;
    int bits = 0;  // integer width
};

struct IntegerType {
    int bits;
    bool isSigned;
};

bool integerType(VARTYPE vt, IntegerType& t)
{
    switch (vt) {
    case VT_I1: t = {8, true}; return true;
    case VT_UI1: t = {8, false}; return true;
    case VT_I2: t = {16, true}; return true;
    case VT_UI2: t = {16, false}; return true;
    case VT_I4: case VT_INT: t = {32, true}; return true;
    case VT_UI4: case VT_UINT: t = {32, false}; return true;
    case VT_I8: t = {64, true}; return true;
    case VT_UI8: t = {64, false}; return true;
    default: return false;
    }
}

HRESULT readSource(const VARIANT& v, Source& src)
{
    src.vt = v.vt;
    switch (v.vt) {
    case VT_EMPTY: src.kind = Source::Empty; break;
    case VT_I1: src.kind = Source::Signed; src.s = static_cast<signed char>(v.cVal); src.bits = 8; break;
    case VT_I2: src.kind = Source::Signed; src.s = v.iVal; src.bits = 16; break;
    case VT_I4: src.kind = Source::Signed; src.s = v.lVal; src.bits = 32; break;
    case VT_INT: src.kind = Source::Signed; src.s = v.intVal; src.bits = 32; break;
    case VT_I8: src.kind = Source::Signed; src.s = v.llVal; src.bits = 64; break;
    case VT_UI1: src.kind = Source::Unsigned; src.u = v.bVal; src.bits = 8; break;
    case VT_UI2: src.kind = Source::Unsigned; src.u = v.uiVal; src.bits = 16; break;
    case VT_UI4: src.kind = Source::Unsigned; src.u = v.ulVal; src.bits = 32; break;
    case VT_UINT: src.kind = Source::Unsigned; src.u = v.uintVal; src.bits = 32; break;
    case VT_UI8: src.kind = Source::Unsigned; src.u = v.ullVal; src.bits = 64; break;
    case VT_BOOL: src.kind = Source::Bool; src.s = v.boolVal; break;
    case VT_R4: src.kind = Source::Real; src.real = v.fltVal; break;
    case VT_R8: src.kind = Source::Real; src.real = v.dblVal; break;
    case VT_DATE: src.kind = Source::Real; src.real = v.date; break;
    case VT_CY: src.kind = Source::Currency; src.s = v.cyVal.int64; break;
    case VT_DECIMAL:
        if (!kv::platform::isValidDecimal(v.decVal))
            return E_INVALIDARG;
        src.kind = Source::Decimal;
        src.dec = v.decVal;
        break;
    case VT_BSTR:
        src.kind = Source::Text;
        src.text = v.bstrVal ? v.bstrVal : L"";
        src.textLength = SysStringLen(v.bstrVal);
        break;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

// The source as an exact decimal, for the targets that round or range-check it.
HRESULT sourceNumber(const Source& src, LCID lcid, Number& n, bool forDecimal = false)
{
    n = Number{};
    switch (src.kind) {
    case Source::Empty: return S_OK;
    case Source::Signed:
    case Source::Bool:
        n.negative = src.s < 0;
        n.mantissa = src.s < 0 ? static_cast<unsigned __int128>(-static_cast<__int128>(src.s)) : static_cast<unsigned __int128>(src.s);
        return S_OK;
    case Source::Unsigned: n.mantissa = src.u; return S_OK;
    case Source::Real:
        if (!std::isfinite(src.real))
            return DISP_E_OVERFLOW;
        n = kv::platform::fromDouble(src.real, forDecimal && src.vt == VT_R4 ? 7 : forDecimal ? 15 : 17);
        return S_OK;
    case Source::Currency:
        n.negative = src.s < 0;
        n.mantissa = src.s < 0 ? static_cast<unsigned __int128>(-static_cast<__int128>(src.s)) : static_cast<unsigned __int128>(src.s);
        n.scale = 4;
        return S_OK;
    case Source::Decimal: n = kv::platform::fromDecimal(src.dec); return S_OK;
    case Source::Text: {
        kv::platform::ParsedText parsed;
        HRESULT hr = kv::platform::parseNumber(src.text, src.textLength, lcid, parsed);
        if (FAILED(hr))
            return hr;
        if (parsed.isRadix)
            n.mantissa = parsed.radixValue;
        else
            n = parsed.number;
        return S_OK;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT toInteger(const Source& src, LCID lcid, VARTYPE vt, VARIANT& out)
{
    IntegerType t;
    integerType(vt, t);
    const __int128 min = t.isSigned ? -(static_cast<__int128>(1) << (t.bits - 1)) : 0;
    const __int128 max = t.isSigned ? (static_cast<__int128>(1) << (t.bits - 1)) - 1 : (static_cast<__int128>(1) << t.bits) - 1;
    __int128 value = 0;
    switch (src.kind) {
    case Source::Bool:
        value = src.s;  // VARIANT_TRUE fills every bit of the target, signed or not
        break;
    case Source::Signed:
    case Source::Unsigned: {
        value = src.kind == Source::Signed ? static_cast<__int128>(src.s) : static_cast<__int128>(src.u);
        // Between the signed and unsigned types of one width the bits carry over.
        if (src.bits == t.bits && (value < min || value > max))
            value = t.isSigned ? value - (static_cast<__int128>(1) << t.bits) : value + (static_cast<__int128>(1) << t.bits);
        break;
    }
    case Source::Real: {
        if (std::isnan(src.real))
            return DISP_E_OVERFLOW;
        const double r = std::nearbyint(src.real);
        if (!(r >= -18446744073709551616.0 && r < 18446744073709551616.0))
            return DISP_E_OVERFLOW;
        value = static_cast<__int128>(r);
        break;
    }
    case Source::Currency:
        if (vt == VT_I8 && src.s < 0) {
            value = src.s / 10000 - 1;  // oleaut32 answers one less for every negative currency
            break;
        }
        [[fallthrough]];
    default: {
        Number n;
        HRESULT hr = sourceNumber(src, lcid, n);
        if (FAILED(hr))
            return hr;
        if (src.kind == Source::Text && n.scale == 0 && !n.negative) {
            kv::platform::ParsedText parsed;
            kv::platform::parseNumber(src.text, src.textLength, lcid, parsed);
            // &H and &O values that fill the width read as two's complement.
            if (parsed.isRadix && t.isSigned && parsed.radixValue <= static_cast<unsigned long long>(max) * 2 + 1 &&
                static_cast<__int128>(parsed.radixValue) > max) {
                value = static_cast<__int128>(parsed.radixValue) - (static_cast<__int128>(1) << t.bits);
                break;
            }
        }
        if (!kv::platform::roundToInteger(n, value))
            return DISP_E_OVERFLOW;
        break;
    }
    }
    if (src.kind != Source::Bool && (value < min || value > max))
        return DISP_E_OVERFLOW;
    out.vt = vt;
    out.ullVal = static_cast<ULONGLONG>(value);  // little-endian: the low bytes are the value
    if (t.bits < 64)
        out.ullVal &= (1ull << t.bits) - 1;
    return S_OK;
}

HRESULT toReal(const Source& src, LCID lcid, double& out)
{
    switch (src.kind) {
    case Source::Empty: out = 0; return S_OK;
    case Source::Signed: case Source::Bool: out = static_cast<double>(src.s); return S_OK;
    case Source::Unsigned: out = static_cast<double>(src.u); return S_OK;
    case Source::Real: out = src.real; return S_OK;
    case Source::Currency: out = static_cast<double>(src.s) / 10000.0; return S_OK;
    default: {
        Number n;
        HRESULT hr = sourceNumber(src, lcid, n);
        if (FAILED(hr))
            return hr;
        out = kv::platform::toDouble(n);
        return std::isinf(out) ? DISP_E_OVERFLOW : S_OK;
    }
    }
}

HRESULT toBool(const Source& src, LCID lcid, USHORT flags, VARIANT_BOOL& out)
{
    if (src.kind == Source::Text) {
        const std::wstring text(src.text, src.textLength);
        auto same = [&](const wchar_t* name) { return wcscasecmp(text.c_str(), name) == 0; };
        const kv::platform::LocaleInfo& loc = kv::platform::localeInfo(lcid);
        if (same(L"True") || same(L"#TRUE#") || ((flags & VARIANT_LOCALBOOL) && same(loc.trueName))) {
            out = VARIANT_TRUE;
            return S_OK;
        }
        if (same(L"False") || same(L"#FALSE#") || ((flags & VARIANT_LOCALBOOL) && same(loc.falseName))) {
            out = VARIANT_FALSE;
            return S_OK;
        }
    }
    if (src.kind == Source::Real) {
        out = src.real != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    Number n;
    HRESULT hr = sourceNumber(src, lcid, n);
    if (FAILED(hr))
        return hr;
    out = n.mantissa != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT toCurrency(const Source& src, LCID lcid, LONGLONG& out)
{
    if (src.kind == Source::Real || src.kind == Source::Text) {
        // Text goes through R8 first, as oleaut32 does, then rounds like R8.
        double d;
        HRESULT hr = toReal(src, lcid, d);
        if (FAILED(hr))
            return hr;
        const double r = std::nearbyint(d * 10000.0);
        if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
            return DISP_E_OVERFLOW;
        out = static_cast<LONGLONG>(r);
        return S_OK;
    }
    Number n;
    HRESULT hr = sourceNumber(src, lcid, n);
    if (FAILED(hr))
        return hr;
    n.scale -= 4;
    __int128 v;
    if (!kv::platform::roundToInteger(n, v) || v < std::numeric_limits<LONGLONG>::min() ||
        v > std::numeric_limits<LONGLONG>::max())
        return DISP_E_OVERFLOW;
    out = static_cast<LONGLONG>(v);
    return S_OK;
}

HRESULT toDecimalValue(const Source& src, LCID lcid, DECIMAL& out)
{
    if (src.kind == Source::Currency) {
        // Currency keeps its four decimals.
        Number n;
        sourceNumber(src, lcid, n);
        return kv::platform::toDecimal(n, out);
    }
    Number n;
    HRESULT hr = sourceNumber(src, lcid, n, true);
    if (FAILED(hr))
        return hr;
    if (src.kind == Source::Text && n.mantissa != 0)
        kv::platform::stripTrailingZeros(n);
    return kv::platform::toDecimal(n, out);
}

HRESULT toText(const Source& src, LCID lcid, USHORT flags, std::wstring& out)
{
    switch (src.kind) {
    case Source::Empty: out.clear(); return S_OK;
    case Source::Text: out.assign(src.text, src.textLength); return S_OK;
    case Source::Bool:
        if (flags & (VARIANT_LOCALBOOL | VARIANT_ALPHABOOL)) {
            const kv::platform::LocaleInfo& loc = kv::platform::localeInfo(lcid);
            const bool local = flags & VARIANT_LOCALBOOL;
            out = src.s ? (local ? loc.trueName : L"True") : (local ? loc.falseName : L"False");
            return S_OK;
        }
        out = std::to_wstring(src.s);  // as the number it holds: "-1" or "0"
        return S_OK;
    case Source::Signed: out = std::to_wstring(src.s); return S_OK;
    case Source::Unsigned: out = std::to_wstring(src.u); return S_OK;
    case Source::Real:
        if (src.vt == VT_DATE) {
            if (!kv::platform::isValidDate(src.real))
                return E_INVALIDARG;
            out = kv::platform::formatDate(src.real, lcid);
        } else {
            out = kv::platform::formatReal(src.real, src.vt == VT_R4 ? 7 : 15, lcid);
        }
        return S_OK;
    case Source::Currency:
    case Source::Decimal: {
        Number n;
        sourceNumber(src, lcid, n);
        out = kv::platform::formatNumber(n, lcid);
        return S_OK;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

// Converts a plain (not array, not by-reference) value into `out`.
HRESULT convertScalar(const VARIANT& in, LCID lcid, USHORT flags, VARTYPE vt, VARIANT& out)
{
    VariantInit(&out);
    if (vt == VT_NULL) {
        out.vt = VT_NULL;
        return S_OK;
    }
    if (in.vt == VT_NULL)
        return DISP_E_TYPEMISMATCH;
    if (vt == VT_EMPTY)
        return S_OK;
    Source src;
    HRESULT hr = readSource(in, src);
    if (FAILED(hr))
        return hr;
    if (IntegerType t; integerType(vt, t))
        return toInteger(src, lcid, vt, out);
    switch (vt) {
    case VT_R4: {
        double d;
        hr = toReal(src, lcid, d);
        if (FAILED(hr))
            return hr;
        const float f = static_cast<float>(d);
        if (std::isinf(f) && !std::isinf(d))
            return DISP_E_OVERFLOW;
        out.vt = VT_R4;
        out.fltVal = f;
        return S_OK;
    }
    case VT_R8:
        hr = toReal(src, lcid, out.dblVal);
        if (SUCCEEDED(hr))
            out.vt = VT_R8;
        return hr;
    case VT_DATE: {
        double d;
        hr = src.kind == Source::Text ? kv::platform::parseDate(src.text, src.textLength, lcid, d) : toReal(src, lcid, d);
        if (FAILED(hr))
            return hr;
        if (!kv::platform::isValidDate(d))
            return DISP_E_OVERFLOW;
        out.vt = VT_DATE;
        out.date = d;
        return S_OK;
    }
    case VT_BOOL:
        hr = toBool(src, lcid, flags, out.boolVal);
        if (SUCCEEDED(hr))
            out.vt = VT_BOOL;
        return hr;
    case VT_CY:
        hr = toCurrency(src, lcid, out.cyVal.int64);
        if (SUCCEEDED(hr))
            out.vt = VT_CY;
        return hr;
    case VT_DECIMAL: {
        DECIMAL d;
        hr = toDecimalValue(src, lcid, d);
        if (FAILED(hr))
            return hr;
        out.decVal = d;
        out.vt = VT_DECIMAL;  // vt shares its place with the DECIMAL's reserved word
        return S_OK;
    }
    case VT_BSTR: {
        std::wstring text;
        hr = toText(src, lcid, flags, text);
        if (FAILED(hr))
            return hr;
        out.bstrVal = kv::platform::allocString(text);
        if (!out.bstrVal)
            return E_OUTOFMEMORY;
        out.vt = VT_BSTR;
        return S_OK;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, USHORT flags, VARTYPE vt)
{
    if (!dest || !src)
        return E_INVALIDARG;
    HRESULT hr = kv::platform::validateVariantType(src->vt);
    if (FAILED(hr))
        return hr;
    hr = kv::platform::validateVariantType(vt);
    if (FAILED(hr))
        return hr;

    VARIANT value;  // the source without references, so dest may be src
    VariantInit(&value);
    hr = VariantCopyInd(&value, src);
    if (FAILED(hr))
        return hr;

    VARIANT result;
    VariantInit(&result);
    if (value.vt == vt) {
        hr = VariantCopy(&result, &value);
    } else if ((value.vt & VT_ARRAY) || (vt & (VT_ARRAY | VT_BYREF))) {
        hr = DISP_E_TYPEMISMATCH;  // arrays keep their element type
    } else {
        hr = convertScalar(value, lcid, flags, vt, result);
    }
    VariantClear(&value);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    std::memcpy(dest, &result, sizeof result);
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt)
{
    return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}

HRESULT VarR8FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, DOUBLE* pdblOut)
{
    if (!strIn || !pdblOut)
        return E_INVALIDARG;
    Source src;
    src.kind = Source::Text;
    src.text = strIn;
    src.textLength = std::wcslen(strIn);
    return toReal(src, lcid, *pdblOut);
}

HRESULT VarDateFromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, DATE* pdateOut)
{
    if (!strIn || !pdateOut)
        return E_INVALIDARG;
    return kv::platform::parseDate(strIn, std::wcslen(strIn), lcid, *pdateOut);
}

HRESULT VarBstrFromR8(DOUBLE dblIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut)
{
    if (!pbstrOut)
        return E_INVALIDARG;
    *pbstrOut = kv::platform::allocString(kv::platform::formatReal(dblIn, 15, lcid));
    return *pbstrOut ? S_OK : E_OUTOFMEMORY;
}

HRESULT VarBstrFromDate(DATE dateIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut)
{
    if (!pbstrOut)
        return E_INVALIDARG;
    if (!kv::platform::isValidDate(dateIn))
        return E_INVALIDARG;
    *pbstrOut = kv::platform::allocString(kv::platform::formatDate(dateIn, lcid));
    return *pbstrOut ? S_OK : E_OUTOFMEMORY;
}
