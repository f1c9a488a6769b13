// DATE as text, for VariantChangeTypeEx: the locale's short date and long time, and
// reading the common numeric forms back ("1/2/2020 3:04:05 PM", "02.01.2020 15:04",
// "2020-01-02", "Jan 2, 2020", "15:04:05").
#include <cwctype>
#include <string>
#include <vector>

#include "platform/linux/CivilTime.h"
#include "platform/linux/VariantInternal.h"

namespace kv::platform {

namespace {

const wchar_t* const kMonthNames[12] = {L"january", L"february", L"march", L"april", L"may", L"june",
                                        L"july", L"august", L"september", L"october", L"november", L"december"};

std::wstring twoDigits(int v) { return std::wstring(v < 10 ? L"0" : L"") + std::to_wstring(v); }

// 0 when the word is not an English month name or its three-letter abbreviation.
int monthFromName(const std::wstring& word)
{
    std::wstring lower;
    for (wchar_t c : word)
        lower += static_cast<wchar_t>(std::towlower(c));
    for (int m = 0; m < 12; ++m)
        if (lower == kMonthNames[m] || (lower.size() == 3 && std::wstring(kMonthNames[m]).compare(0, 3, lower) == 0))
            return m + 1;
    return 0;
}

struct Field {
    int value;
    int digits;
};

int expandYear(const Field& f)
{
    if (f.digits <= 2)
        return f.value < 30 ? 2000 + f.value : 1900 + f.value;  // two-digit years: 1930..2029
    return f.value;
}

}  // namespace

std::wstring formatDate(DATE d, LCID lcid)
{
    const LocaleInfo& loc = localeInfo(lcid);
    const DateParts p = splitDate(d);
    std::wstring date, time;
    switch (loc.dateOrder) {
    case DateOrder::MonthDayYear:
        date = std::to_wstring(p.month) + L"/" + std::to_wstring(p.day) + L"/" + std::to_wstring(p.year);
        break;
    case DateOrder::DayMonthYear:
        date = twoDigits(p.day) + loc.dateSeparator + twoDigits(p.month) + loc.dateSeparator + std::to_wstring(p.year);
        break;
    case DateOrder::YearMonthDay:
        date = std::to_wstring(p.year) + L"-" + twoDigits(p.month) + L"-" + twoDigits(p.day);
        break;
    }
    if (loc.twelveHourClock) {
        const int h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
        time = std::to_wstring(h12) + L":" + twoDigits(p.minute) + L":" + twoDigits(p.second) + (p.hour < 12 ? L" AM" : L" PM");
    } else {
        time = twoDigits(p.hour) + L":" + twoDigits(p.minute) + L":" + twoDigits(p.second);
    }
    // Midnight is left out of a date, and the day of 30 December 1899 out of a time.
    if (!p.hasTime && p.hasDate)
        return date;
    if (!p.hasDate)
        return time;
    return date + L" " + time;
}

HRESULT parseDate(const wchar_t* text, std::size_t length, LCID lcid, DATE& out)
{
    const LocaleInfo& loc = localeInfo(lcid);
    const wchar_t* p = text;
    const wchar_t* const end = text + length;
    std::vector<Field> dateFields;
    int namedMonth = 0;
    int hour = 0, minute = 0, second = 0;
    bool sawTime = false, pm = false, am = false;

    auto readNumber = [&](Field& f) {
        f = Field{0, 0};
        while (p < end && std::iswdigit(*p) && f.digits < 9) {
            f.value = f.value * 10 + (*p++ - L'0');
            ++f.digits;
        }
        return f.digits > 0;
    };

    while (p < end) {
        const wchar_t c = *p;
        if (c == L' ' || c == L'\t' || c == L',') {
            ++p;
        } else if (std::iswdigit(c)) {
            Field f;
            readNumber(f);
            if (p < end && *p == L':') {
                if (sawTime)
                    return DISP_E_TYPEMISMATCH;
                sawTime = true;
                hour = f.value;
                ++p;
                Field m;
                if (!readNumber(m))
                    return DISP_E_TYPEMISMATCH;
                minute = m.value;
                if (p < end && *p == L':') {
                    ++p;
                    Field s;
                    if (!readNumber(s))
                        return DISP_E_TYPEMISMATCH;
                    second = s.value;
                }
            } else {
                if (dateFields.size() == 3)
                    return DISP_E_TYPEMISMATCH;
                dateFields.push_back(f);
            }
        } else if (c == L'/' || c == L'-' || (c == L'.' && loc.dateSeparator == L'.')) {
            ++p;
        } else if (std::iswalpha(c)) {
            std::wstring word;
            while (p < end && std::iswalpha(*p))
                word += *p++;
            if (p < end && *p == L'.')
                ++p;  // "Jan."
            std::wstring lower;
            for (wchar_t w : word)
                lower += static_cast<wchar_t>(std::towlower(w));
            if (lower == L"am" || lower == L"pm") {
                if (!sawTime || am || pm)
                    return DISP_E_TYPEMISMATCH;
                (lower == L"am" ? am : pm) = true;
            } else if (int m = monthFromName(word); m && !namedMonth) {
                namedMonth = m;
            } else {
                return DISP_E_TYPEMISMATCH;
            }
        } else {
            return DISP_E_TYPEMISMATCH;
        }
    }

    if (am || pm) {
        if (hour < 1 || hour > 12)
            return DISP_E_TYPEMISMATCH;
        hour = hour % 12 + (pm ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59)
        return DISP_E_TYPEMISMATCH;

    int year = 1899, month = 12, day = 30;
    const bool hasDate = !dateFields.empty() || namedMonth;
    if (namedMonth) {
        // "Jan 2, 2020" or "2 January 2020": the field that cannot be a day is the year.
        if (dateFields.size() != 2)
            return DISP_E_TYPEMISMATCH;
        Field a = dateFields[0], b = dateFields[1];
        if (a.digits > 2 || a.value > 31)
            std::swap(a, b);
        month = namedMonth;
        day = a.value;
        year = expandYear(b);
    } else if (dateFields.size() == 3) {
        const Field& f0 = dateFields[0];
        const Field& f1 = dateFields[1];
        const Field& f2 = dateFields[2];
        DateOrder order = loc.dateOrder;
        if (f0.digits > 2)
            order = DateOrder::YearMonthDay;
        else if (order == DateOrder::YearMonthDay && f2.digits > 2)
            order = DateOrder::MonthDayYear;  // "1/2/2020" reads as US order in a year-first locale
        switch (order) {
        case DateOrder::MonthDayYear: month = f0.value; day = f1.value; year = expandYear(f2); break;
        case DateOrder::DayMonthYear: day = f0.value; month = f1.value; year = expandYear(f2); break;
        case DateOrder::YearMonthDay: year = expandYear(f0); month = f1.value; day = f2.value; break;
        }
        if (month > 12 && day <= 12)
            std::swap(month, day);  // "13/1/2020" can only mean the 13th of January
    } else if (!dateFields.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    if (!hasDate && !sawTime)
        return DISP_E_TYPEMISMATCH;
    if (hasDate) {
        if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
            return DISP_E_TYPEMISMATCH;
        out = makeDate(year, month, day, hour, minute, second);
    } else {
        out = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    }
    return S_OK;
}

}  // namespace kv::platform
