#include "common/TVCmnVariantText.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "common/TVCmnSafeArray.h"
#include "common/TVCmnString.h"

namespace {

struct TypeName {
    VARTYPE type;
    const char* name;
};

constexpr TypeName kTypeNames[] = {
    {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"},     {VT_I2, "VT_I2"},         {VT_I4, "VT_I4"},
    {VT_R4, "VT_R4"},       {VT_R8, "VT_R8"},         {VT_CY, "VT_CY"},         {VT_DATE, "VT_DATE"},
    {VT_BSTR, "VT_BSTR"},   {VT_DISPATCH, "VT_DISPATCH"}, {VT_ERROR, "VT_ERROR"}, {VT_BOOL, "VT_BOOL"},
    {VT_VARIANT, "VT_VARIANT"}, {VT_UNKNOWN, "VT_UNKNOWN"}, {VT_DECIMAL, "VT_DECIMAL"}, {VT_I1, "VT_I1"},
    {VT_UI1, "VT_UI1"},     {VT_UI2, "VT_UI2"},       {VT_UI4, "VT_UI4"},       {VT_I8, "VT_I8"},
    {VT_UI8, "VT_UI8"},     {VT_INT, "VT_INT"},       {VT_UINT, "VT_UINT"},
};

// OLE dates count days from 1899-12-30; the fraction is the time of day and keeps its
// sense for negative dates (-1.25 is 1899-12-29 06:00).
constexpr long long kOleEpochDays = -25569;  // 1899-12-30 counted from 1970-01-01

void civilFromDays(long long days, long long& year, unsigned& month, unsigned& day)
{
    // Days since 1970-01-01 to the proleptic Gregorian calendar (H. Hinnant's algorithm).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<long long>(yearOfEra) + era * 400 + (month <= 2);
}

std::string dateText(DATE date)
{
    if (!std::isfinite(date))
        return "invalid date";
    double wholeDays = std::trunc(date);
    long long ms = std::llround(std::fabs(date - wholeDays) * 86400000.0);
    if (ms >= 86400000) {
        ms -= 86400000;
        wholeDays += 1;
    }
    long long year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(static_cast<long long>(wholeDays) + kOleEpochDays, year, month, day);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%03lld", year, month, day, ms / 3600000,
                  ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return buffer;
}

// A scaled integer as decimal text: digits with a point 'scale' places from the right.
std::string scaledText(std::string digits, unsigned scale, bool negative)
{
    if (scale > 0) {
        if (digits.size() <= scale)
            digits.insert(0, scale - digits.size() + 1, '0');
        digits.insert(digits.size() - scale, 1, '.');
    }
    return negative ? "-" + digits : digits;
}

std::string currencyText(CY value)
{
    // Four fixed decimal places; trailing zeros carry no information here.
    const long long units = value.int64;
    const unsigned long long magnitude = units < 0 ? 0ull - static_cast<unsigned long long>(units) : units;
    std::string text = scaledText(std::to_string(magnitude), 4, units < 0);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}

std::string decimalText(const DECIMAL& value)
{
    // The 96-bit magnitude, divided down by ten in 32-bit pieces.
    std::uint32_t parts[3] = {value.Hi32, static_cast<std::uint32_t>(value.Lo64 >> 32),
                              static_cast<std::uint32_t>(value.Lo64)};
    std::string digits;
    while (parts[0] || parts[1] || parts[2]) {
        std::uint64_t remainder = 0;
        for (std::uint32_t& part : parts) {
            const std::uint64_t current = (remainder << 32) | part;
            part = static_cast<std::uint32_t>(current / 10);
            remainder = current % 10;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + remainder));
    }
    if (digits.empty())
        digits = "0";
    return scaledText(digits, value.scale, (value.sign & DECIMAL_NEG) != 0);
}

template <class Float>
std::string floatText(Float value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string hexText(std::uint32_t value)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(value));
    return buffer;
}

std::string pointerText(const void* pointer)
{
    if (!pointer)
        return "null";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", pointer);
    return buffer;
}

std::string bstrText(BSTR text)
{
    return text ? TVCmnString::wideToAnsi(std::wstring_view(text, SysStringLen(text))) : std::string();
}

// The value of one element of the given type at 'data' (a VARIANT's union or an array
// element): both store the same C types.
std::string elementText(VARTYPE type, const void* data);

std::string arrayText(VARTYPE elementType, SAFEARRAY* array)
{
    if (!array)
        return "null";
    const UINT dimensions = SafeArrayGetDim(array);
    const UINT elementSize = SafeArrayGetElemsize(array);
    // Elements lie with the first dimension's index running fastest, and the braces nest
    // the same way: {{a,b},{c,d}} is two runs of a first dimension of two.
    std::vector<std::size_t> strides;  // elements per brace level, innermost first
    std::size_t total = 1;
    for (UINT dimension = 1; dimension <= dimensions; ++dimension) {
        LONG lower = 0;
        LONG upper = -1;
        if (FAILED(SafeArrayGetLBound(array, dimension, &lower)) || FAILED(SafeArrayGetUBound(array, dimension, &upper)))
            return "invalid array";
        total *= upper >= lower ? static_cast<std::size_t>(upper - lower) + 1 : 0;
        strides.push_back(total);
    }
    if (dimensions == 0 || total == 0)
        return "{}";

    TVCmnSafeArrayAccess<unsigned char> access(array);
    if (!access.ok())
        return "invalid array";
    std::string text;
    std::size_t depth = 0;
    for (std::size_t index = 0; index < total; ++index) {
        if (index == TVCmnVariantText::kMaxArrayElements) {
            text += ",...";
            text.append(depth, '}');
            break;
        }
        if (index > 0)
            text += ',';
        for (std::size_t stride : strides) {
            if (index % stride == 0) {
                text += '{';
                ++depth;
            }
        }
        text += elementText(elementType, access.data() + index * elementSize);
        for (std::size_t stride : strides) {
            if ((index + 1) % stride == 0) {
                text += '}';
                --depth;
            }
        }
    }
    return text;
}

std::string elementText(VARTYPE type, const void* data)
{
    switch (type) {
    case VT_I1: return std::to_string(*static_cast<const signed char*>(data));
    case VT_UI1: return std::to_string(*static_cast<const unsigned char*>(data));
    case VT_I2: return std::to_string(*static_cast<const SHORT*>(data));
    case VT_UI2: return std::to_string(*static_cast<const USHORT*>(data));
    case VT_I4:
    case VT_INT: return std::to_string(*static_cast<const INT*>(data));
    case VT_UI4:
    case VT_UINT: return std::to_string(*static_cast<const UINT*>(data));
    case VT_I8: return std::to_string(*static_cast<const LONGLONG*>(data));
    case VT_UI8: return std::to_string(*static_cast<const ULONGLONG*>(data));
    case VT_R4: return floatText(*static_cast<const FLOAT*>(data));
    case VT_R8: return floatText(*static_cast<const DOUBLE*>(data));
    case VT_CY: return currencyText(*static_cast<const CY*>(data));
    case VT_DATE: return dateText(*static_cast<const DATE*>(data));
    case VT_BSTR: return bstrText(*static_cast<const BSTR*>(data));
    case VT_BOOL: return *static_cast<const VARIANT_BOOL*>(data) ? "true" : "false";
    case VT_ERROR: return hexText(static_cast<std::uint32_t>(*static_cast<const SCODE*>(data)));
    case VT_DECIMAL: return decimalText(*static_cast<const DECIMAL*>(data));
    case VT_VARIANT: return TVCmnVariantText::valueText(*static_cast<const VARIANT*>(data));
    case VT_UNKNOWN:
    case VT_DISPATCH: return pointerText(*static_cast<void* const*>(data));
    default: return "?";
    }
}

}  // namespace

std::string TVCmnVariantText::typeName(VARTYPE type)
{
    std::string prefix;
    if (type & VT_ARRAY)
        prefix += "VT_ARRAY|";
    if (type & VT_BYREF)
        prefix += "VT_BYREF|";
    const VARTYPE base = type & VT_TYPEMASK;
    for (const TypeName& name : kTypeNames) {
        if (name.type == base)
            return prefix + name.name;
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "VT_0x%X", unsigned(base));
    return prefix + buffer;
}

std::string TVCmnVariantText::valueText(const VARIANT& value)
{
    const VARTYPE type = value.vt;
    const VARTYPE base = type & VT_TYPEMASK;
    if (type & VT_ARRAY)
        return arrayText(base, (type & VT_BYREF) ? (value.pparray ? *value.pparray : nullptr) : value.parray);
    if (base == VT_EMPTY || base == VT_NULL)
        return std::string();
    if (type & VT_BYREF)
        return value.byref ? elementText(base, value.byref) : "null";
    if (base == VT_VARIANT)
        return "?";  // a VARIANT holds another one only by reference or in an array
    if (base == VT_DECIMAL)
        return decimalText(value.decVal);  // DECIMAL overlays the whole VARIANT, not its union
    return elementText(base, &value.lVal);
}

std::string TVCmnVariantText::text(const VARIANT& value)
{
    if (value.vt == VT_EMPTY || value.vt == VT_NULL)
        return typeName(value.vt);
    return typeName(value.vt) + " " + valueText(value);
}
