// Shared internals of the stand-in's VARIANT code: type checks, the locale data the
// text conversions need, an exact decimal number used between types, and DATE parts.
#pragma once

#include <string>

#include "platform/win.h"

namespace kv::platform {

HRESULT validateVariantType(VARTYPE vt);

// Bytes of the value a VT_BYREF of this base type points at (not for arrays).
std::size_t valueSize(VARTYPE base);

// What the text conversions need to know about a locale. Only English (United
// States), German (Germany) and Swedish (Sweden) are described; every other locale
// is treated as English (United States), the stand-in's default.
enum class DateOrder { MonthDayYear, DayMonthYear, YearMonthDay };

struct LocaleInfo {
    wchar_t decimalSeparator;
    wchar_t thousandsSeparator;
    wchar_t thousandsAlternative;  // also accepted when reading (0 = none)
    const wchar_t* currency;
    bool currencyLeads;
    DateOrder dateOrder;
    wchar_t dateSeparator;
    bool twelveHourClock;
    bool padDayAndMonth;
    const wchar_t* trueName;
    const wchar_t* falseName;
};

const LocaleInfo& localeInfo(LCID lcid);

// A decimal number: value = (negative ? -1 : 1) * mantissa * 10^-scale. Exact for
// every integer, CY and DECIMAL; text and floating point are rounded on the way in.
struct Number {
    unsigned __int128 mantissa = 0;
    int scale = 0;
    bool negative = false;
};

// Text as VarParseNumFromStr reads it for VariantChangeType: blanks around, a sign
// before or after, parentheses, the locale's separators and currency symbol, an
// exponent, or &H / &O integers (returned in `radixValue` with isRadix set).
struct ParsedText {
    Number number;
    bool isRadix = false;
    unsigned long long radixValue = 0;
};
HRESULT parseNumber(const wchar_t* text, std::size_t length, LCID lcid, ParsedText& out);

// Rounds half to even to an integer. False when it does not fit in 127 bits.
bool roundToInteger(const Number& n, __int128& out);
double toDouble(const Number& n);
// The double to `digits` significant decimal digits, as Automation does for R8 (15)
// and R4 (7).
Number fromDouble(double value, int digits);
// Fits into a DECIMAL: at most 28 decimals and 96 bits, rounding half to even.
HRESULT toDecimal(Number n, DECIMAL& out);
Number fromDecimal(const DECIMAL& d);
bool isValidDecimal(const DECIMAL& d);
void stripTrailingZeros(Number& n);

// Plain text with the locale's decimal separator, no grouping, no trailing zeros.
std::wstring formatNumber(Number n, LCID lcid);
// R8 (digits 15) and R4 (digits 7) text: fixed or "1.5E+20" forms like %G.
std::wstring formatReal(double value, int digits, LCID lcid);

struct DateParts {
    int year = 0, month = 0, day = 0, dayOfWeek = 0;
    int hour = 0, minute = 0, second = 0;
    bool hasDate = false;  // the whole-day part is not 0
    bool hasTime = false;  // the time of day, rounded to seconds, is not 0
};
DateParts splitDate(DATE d);
double makeDate(int year, int month, int day, int hour, int minute, int second);
bool isValidDate(double d);
std::wstring formatDate(DATE d, LCID lcid);
HRESULT parseDate(const wchar_t* text, std::size_t length, LCID lcid, DATE& out);

BSTR allocString(const std::wstring& s);

}  // namespace kv::platform
