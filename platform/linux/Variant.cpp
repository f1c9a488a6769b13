// VARIANT life cycle (init, clear, copy) and DATE <-> SYSTEMTIME.
#include <cmath>
#include <cstring>

#include "platform/linux/CivilTime.h"
#include "platform/linux/VariantInternal.h"
#include "platform/win.h"

const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace kv::platform {

HRESULT validateVariantType(VARTYPE vt)
{
    if (vt & (VT_VECTOR | VT_RESERVED))
        return DISP_E_BADVARTYPE;
    const VARTYPE base = vt & VT_TYPEMASK;
    if ((vt & (VT_ARRAY | VT_BYREF)) && base <= VT_NULL)
        return DISP_E_BADVARTYPE;
    if ((base < VT_VOID && base != 15) || base == VT_RECORD)
        return S_OK;
    return DISP_E_BADVARTYPE;
}

}  // namespace kv::platform

void VariantInit(VARIANTARG* pvarg)
{
    if (!pvarg)
        return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg)
{
    if (!pvarg)
        return E_INVALIDARG;
    HRESULT hr = kv::platform::validateVariantType(pvarg->vt);
    if (FAILED(hr))
        return hr;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr))
                return hr;  // a locked array stays where it is
        } else {
            switch (pvarg->vt) {
            case VT_BSTR:
                SysFreeString(pvarg->bstrVal);
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                if (pvarg->punkVal)
                    pvarg->punkVal->Release();
                break;
            case VT_RECORD:
                return DISP_E_BADVARTYPE;  // records are not supported by this stand-in
            default:
                break;
            }
        }
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src)
{
    if (!dest || !src)
        return E_INVALIDARG;
    HRESULT hr = kv::platform::validateVariantType(src->vt);
    if (FAILED(hr))
        return hr;
    if (dest == src)
        return S_OK;
    hr = VariantClear(dest);
    if (FAILED(hr))
        return hr;
    VARIANT copy;
    std::memcpy(&copy, src, sizeof copy);
    if (!(src->vt & VT_BYREF)) {
        if (src->vt & VT_ARRAY) {
            hr = SafeArrayCopy(src->parray, &copy.parray);
        } else if (src->vt == VT_BSTR && src->bstrVal) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src->bstrVal), SysStringByteLen(src->bstrVal));
            hr = copy.bstrVal ? S_OK : E_OUTOFMEMORY;
        } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal) {
            src->punkVal->AddRef();
        } else if (src->vt == VT_RECORD) {
            hr = DISP_E_BADVARTYPE;
        }
    }
    if (FAILED(hr))
        return hr;
    std::memcpy(dest, &copy, sizeof copy);
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src)
{
    if (!dest || !src)
        return E_INVALIDARG;
    if (!(src->vt & VT_BYREF))
        return VariantCopy(dest, src);
    HRESULT hr = kv::platform::validateVariantType(src->vt);
    if (FAILED(hr))
        return hr;
    if (!src->byref)
        return E_INVALIDARG;
    // Build the value in a temporary: dest may be src itself.
    VARIANT value;
    VariantInit(&value);
    const VARTYPE base = src->vt & ~VT_BYREF;
    if (base == VT_VARIANT) {
        const VARIANT* inner = src->pvarVal;
        if (inner->vt == (VT_VARIANT | VT_BYREF))
            return E_INVALIDARG;  // a reference to a reference is not followed
        hr = VariantCopyInd(&value, inner);
    } else {
        VARIANT shallow;
        VariantInit(&shallow);
        shallow.vt = base;
        if (base & VT_ARRAY)
            shallow.parray = *src->pparray;
        else if (base == VT_DECIMAL)
            std::memcpy(&shallow.decVal, src->pdecVal, sizeof(DECIMAL));
        else
            std::memcpy(&shallow.llVal, src->byref, kv::platform::valueSize(base));
        if (base == VT_DECIMAL)
            shallow.vt = VT_DECIMAL;  // decVal overwrote vt
        hr = VariantCopy(&value, &shallow);
    }
    if (FAILED(hr))
        return hr;
    if (dest != src) {
        hr = VariantClear(dest);
        if (FAILED(hr)) {
            VariantClear(&value);
            return hr;
        }
    }
    std::memcpy(dest, &value, sizeof value);
    return S_OK;
}

namespace {

constexpr std::int64_t kDaysFrom1970To1899 = -25569;  // 1899-12-30
constexpr double kMinDate = -657434.0;                 // 1 January 100
constexpr double kMaxDate = 2958465.0;                 // 31 December 9999

}  // namespace

INT SystemTimeToVariantTime(LPSYSTEMTIME st, DATE* out)
{
    // Days past the end of the month roll over (30 February is 1 or 2 March), as oleaut32 does.
    if (!st || !out || st->wYear < 100 || st->wYear > 9999 || st->wMonth < 1 || st->wMonth > 12 ||
        st->wDay < 1 || st->wDay > 31 || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59)
        return FALSE;
    const double days = static_cast<double>(kv::platform::daysFromCivil(st->wYear, st->wMonth, 1) + st->wDay - 1 -
                                            kDaysFrom1970To1899);
    const double fraction = (st->wHour * 3600.0 + st->wMinute * 60.0 + st->wSecond) / 86400.0;
    *out = days < 0 ? days - fraction : days + fraction;
    return TRUE;
}

INT VariantTimeToSystemTime(DATE vtime, LPSYSTEMTIME st)
{
    if (!st || !(vtime > kMinDate - 1.0) || !(vtime < kMaxDate + 1.0))
        return FALSE;
    kv::platform::DateParts p = kv::platform::splitDate(vtime);
    st->wYear = static_cast<WORD>(p.year);
    st->wMonth = static_cast<WORD>(p.month);
    st->wDay = static_cast<WORD>(p.day);
    st->wDayOfWeek = static_cast<WORD>(p.dayOfWeek);
    st->wHour = static_cast<WORD>(p.hour);
    st->wMinute = static_cast<WORD>(p.minute);
    st->wSecond = static_cast<WORD>(p.second);
    st->wMilliseconds = 0;
    return TRUE;
}

namespace kv::platform {

DateParts splitDate(DATE d)
{
    // The whole days count from 1899-12-30 toward zero; the fraction is always the
    // time of day, so -1.5 is 29 December, noon.
    double wholeDays = std::trunc(d);
    auto seconds = static_cast<std::int64_t>(std::llround(std::fabs(d - wholeDays) * 86400.0));
    if (seconds >= 86400) {
        seconds -= 86400;
        wholeDays += d < 0 ? -1.0 : 1.0;
    }
    const std::int64_t day = static_cast<std::int64_t>(wholeDays) + kDaysFrom1970To1899;
    const CivilDate c = civilFromDays(day);
    DateParts p;
    p.year = c.year;
    p.month = c.month;
    p.day = c.day;
    p.dayOfWeek = weekdayFromDays(day);
    p.hour = static_cast<int>(seconds / 3600);
    p.minute = static_cast<int>(seconds / 60 % 60);
    p.second = static_cast<int>(seconds % 60);
    p.hasDate = wholeDays != 0.0;
    p.hasTime = seconds != 0;
    return p;
}

double makeDate(int year, int month, int day, int hour, int minute, int second)
{
    const double days = static_cast<double>(daysFromCivil(year, month, day) - kDaysFrom1970To1899);
    const double fraction = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    return days < 0 ? days - fraction : days + fraction;
}

bool isValidDate(double d) { return d > kMinDate - 1.0 && d < kMaxDate + 1.0; }

}  // namespace kv::platform
