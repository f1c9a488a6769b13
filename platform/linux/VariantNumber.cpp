// Numbers as text and as exact decimals, for VariantChangeTypeEx.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

#include "platform/linux/VariantInternal.h"

namespace kv::platform {

namespace {

const LocaleInfo kEnglishUs{L'.', L',', 0, L"$", true, DateOrder::MonthDayYear, L'/', true, false, L"True", L"False"};
const LocaleInfo kGerman{L',', L'.', 0, L"\u20AC", false, DateOrder::DayMonthYear, L'.', false, true, L"Wahr", L"Falsch"};
// Swedish groups digits with a no-break space; a plain space is read as one too.
const LocaleInfo kSwedish{L',', 0xA0, L' ', L"kr", false, DateOrder::YearMonthDay, L'-', false, true, L"Sant", L"Falskt"};

// Keeps 36 significant digits: enough for any 96-bit DECIMAL and 64-bit integer.
constexpr int kMaxDigits = 36;

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == 0xA0; }

unsigned __int128 pow10(int n)
{
    unsigned __int128 p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

const unsigned __int128 kDecimalLimit = static_cast<unsigned __int128>(1) << 96;

// Drops the last decimal digit, rounding half to even (sticky: digits dropped before).
void dropDigit(Number& n, bool& sticky)
{
    const unsigned digit = static_cast<unsigned>(n.mantissa % 10);
    n.mantissa /= 10;
    --n.scale;
    if (digit > 5 || (digit == 5 && (sticky || (n.mantissa & 1))))
        ++n.mantissa;
    sticky = sticky || digit != 0;
}

}  // namespace

const LocaleInfo& localeInfo(LCID lcid)
{
    switch (PRIMARYLANGID(LANGIDFROMLCID(lcid))) {
    case LANG_GERMAN: return kGerman;
    case LANG_SWEDISH: return kSwedish;
    default: return kEnglishUs;
    }
}

HRESULT parseNumber(const wchar_t* text, std::size_t length, LCID lcid, ParsedText& out)
{
    const LocaleInfo& loc = localeInfo(lcid);
    const wchar_t* p = text;
    const wchar_t* const end = text + length;
    out = ParsedText{};
    auto skipBlanks = [&] {
        while (p < end && isBlank(*p) && *p != loc.thousandsSeparator)
            ++p;
    };
    auto skipCurrency = [&] {
        const std::size_t n = std::wcslen(loc.currency);
        if (static_cast<std::size_t>(end - p) >= n && std::wcsncmp(p, loc.currency, n) == 0)
            p += n;
    };

    skipBlanks();
    if (loc.currencyLeads) {
        skipCurrency();
        skipBlanks();
    }
    bool negative = false, leadingSign = false, parens = false;
    if (p < end && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        leadingSign = true;
        ++p;
    } else if (p < end && *p == L'(') {
        parens = true;
        negative = true;
        ++p;
    }
    if (loc.currencyLeads)
        skipCurrency();

    if (p + 1 < end && *p == L'&' && (p[1] == L'H' || p[1] == L'h' || p[1] == L'O' || p[1] == L'o')) {
        const unsigned radix = (p[1] == L'H' || p[1] == L'h') ? 16 : 8;
        p += 2;
        unsigned long long v = 0;
        bool any = false;
        for (; p < end; ++p) {
            const int d = std::iswdigit(*p) ? *p - L'0'
                        : (radix == 16 && std::iswxdigit(*p)) ? std::towlower(*p) - L'a' + 10 : -1;
            if (d < 0 || d >= static_cast<int>(radix))
                break;
            if (v > (~0ull - static_cast<unsigned>(d)) / radix)
                return DISP_E_OVERFLOW;
            v = v * radix + static_cast<unsigned>(d);
            any = true;
        }
        skipBlanks();
        if (!any || p != end || negative)
            return DISP_E_TYPEMISMATCH;
        out.isRadix = true;
        out.radixValue = v;
        return S_OK;
    }

    Number n;
    bool sawDigit = false, sawDecimal = false;
    int extraExponent = 0;  // integer digits beyond kMaxDigits
    int significant = 0;
    for (; p < end; ++p) {
        const wchar_t c = *p;
        if (c >= L'0' && c <= L'9') {
            sawDigit = true;
            if (significant < kMaxDigits) {
                if (n.mantissa || c != L'0')
                    ++significant;
                n.mantissa = n.mantissa * 10 + static_cast<unsigned>(c - L'0');
                if (sawDecimal)
                    ++n.scale;
            } else if (!sawDecimal) {
                ++extraExponent;  // digits past the precision we keep only scale the value
            }
        } else if (c == loc.decimalSeparator && !sawDecimal) {
            sawDecimal = true;
        } else if (sawDigit && c && (c == loc.thousandsSeparator || c == loc.thousandsAlternative)) {
            // Group separators are skipped wherever they follow a digit.
        } else {
            break;
        }
    }
    if (!sawDigit)
        return DISP_E_TYPEMISMATCH;
    if (p < end && (*p == L'e' || *p == L'E')) {
        ++p;
        bool expNegative = false;
        if (p < end && (*p == L'+' || *p == L'-'))
            expNegative = *p++ == L'-';
        if (p == end || !std::iswdigit(*p))
            return DISP_E_TYPEMISMATCH;
        int exponent = 0;
        for (; p < end && std::iswdigit(*p); ++p)
            exponent = exponent < 100000 ? exponent * 10 + (*p - L'0') : exponent;
        n.scale += expNegative ? exponent : -exponent;
    }
    n.scale -= extraExponent;

    skipBlanks();
    if (!leadingSign && !parens && p < end && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
    }
    if (!loc.currencyLeads) {
        skipBlanks();
        skipCurrency();
    }
    skipBlanks();
    if (parens) {
        if (p == end || *p != L')')
            return DISP_E_TYPEMISMATCH;
        ++p;
        skipBlanks();
    }
    if (p != end)
        return DISP_E_TYPEMISMATCH;
    n.negative = negative && n.mantissa != 0;
    out.number = n;
    return S_OK;
}

bool roundToInteger(const Number& n, __int128& out)
{
    unsigned __int128 magnitude;
    if (n.scale <= 0) {
        if (n.mantissa == 0) {
            out = 0;
            return true;
        }
        if (n.scale < -38)
            return false;
        const unsigned __int128 factor = pow10(-n.scale);
        if (n.mantissa > (~static_cast<unsigned __int128>(0) >> 1) / factor)
            return false;
        magnitude = n.mantissa * factor;
    } else if (n.scale > kMaxDigits + 1) {
        magnitude = 0;  // below 0.1
    } else {
        const unsigned __int128 factor = pow10(n.scale);
        magnitude = n.mantissa / factor;
        const unsigned __int128 rest = n.mantissa % factor;
        const unsigned __int128 half = factor / 2;
        if (rest > half || (rest == half && (magnitude & 1)))
            ++magnitude;
    }
    if (magnitude > (~static_cast<unsigned __int128>(0) >> 1))
        return false;
    out = n.negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
    return true;
}

double toDouble(const Number& n)
{
    // strtod rounds correctly; going through text avoids double rounding.
    std::string digits;
    unsigned __int128 m = n.mantissa;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m);
    const std::string text = (n.negative ? "-" : "") + digits + "e" + std::to_string(-n.scale);
    return std::strtod(text.c_str(), nullptr);
}

Number fromDouble(double value, int digits)
{
    Number n;
    if (value == 0 || !std::isfinite(value))
        return n;
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", digits - 1, value);
    const char* p = text;
    if (*p == '-') {
        n.negative = true;
        ++p;
    }
    for (; *p && *p != 'e'; ++p) {
        if (*p == '.')
            continue;
        n.mantissa = n.mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
    const int exponent = std::atoi(p + 1);
    n.scale = (digits - 1) - exponent;
    stripTrailingZeros(n);
    return n;
}

void stripTrailingZeros(Number& n)
{
    if (n.mantissa == 0) {
        n.scale = 0;
        return;
    }
    while (n.mantissa % 10 == 0) {
        n.mantissa /= 10;
        --n.scale;
    }
}

HRESULT toDecimal(Number n, DECIMAL& out)
{
    bool sticky = false;
    while (n.scale > 28 || (n.scale > 0 && n.mantissa >= kDecimalLimit))
        dropDigit(n, sticky);
    while (n.scale < 0) {
        if (n.mantissa >= kDecimalLimit)
            return DISP_E_OVERFLOW;
        n.mantissa *= 10;
        ++n.scale;
    }
    if (n.mantissa >= kDecimalLimit)
        return DISP_E_OVERFLOW;
    if (n.mantissa == 0)
        n.scale = 0;
    out.wReserved = 0;
    out.scale = static_cast<BYTE>(n.scale);
    out.sign = n.negative && n.mantissa ? DECIMAL_NEG : 0;
    out.Hi32 = static_cast<ULONG>(n.mantissa >> 64);
    out.Lo64 = static_cast<ULONGLONG>(n.mantissa);
    return S_OK;
}

Number fromDecimal(const DECIMAL& d)
{
    Number n;
    n.mantissa = (static_cast<unsigned __int128>(d.Hi32) << 64) | d.Lo64;
    n.scale = d.scale;
    n.negative = (d.sign & DECIMAL_NEG) && n.mantissa != 0;
    return n;
}

bool isValidDecimal(const DECIMAL& d) { return d.scale <= 28 && (d.sign & 0x7F) == 0; }

std::wstring formatNumber(Number n, LCID lcid)
{
    stripTrailingZeros(n);
    std::wstring digits;
    unsigned __int128 m = n.mantissa;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m);
    if (n.scale < 0)
        digits.append(static_cast<std::size_t>(-n.scale), L'0');
    else if (n.scale > 0) {
        if (digits.size() <= static_cast<std::size_t>(n.scale))
            digits.insert(0, static_cast<std::size_t>(n.scale) - digits.size() + 1, L'0');
        digits.insert(digits.size() - static_cast<std::size_t>(n.scale), 1, localeInfo(lcid).decimalSeparator);
    }
    return (n.negative ? L"-" : L"") + digits;
}

std::wstring formatReal(double value, int digits, LCID lcid)
{
    if (std::isnan(value))
        return L"NAN";
    if (std::isinf(value))
        return value < 0 ? L"-INF" : L"INF";
    if (value == 0)
        return L"0";
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", digits - 1, value);
    const char* e = std::strchr(text, 'e');
    const int exponent = std::atoi(e + 1);
    if (exponent >= -5 + 1 && exponent < digits)
        return formatNumber(fromDouble(value, digits), lcid);
    // Scientific form keeps '.' whatever the locale, as oleaut32 writes it.
    std::string mantissa(static_cast<const char*>(text), e);
    if (mantissa.find('.') != std::string::npos) {
        while (mantissa.back() == '0')
            mantissa.pop_back();
        if (mantissa.back() == '.')
            mantissa.pop_back();
    }
    char tail[16];
    std::snprintf(tail, sizeof tail, "E%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
    const std::string all = mantissa + tail;
    return std::wstring(all.begin(), all.end());
}

BSTR allocString(const std::wstring& s) { return SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); }

}  // namespace kv::platform
