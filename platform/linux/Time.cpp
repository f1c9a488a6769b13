// Clocks and FILETIME/SYSTEMTIME conversions.
#include <ctime>

#include "platform/linux/CivilTime.h"
#include "platform/win.h"

namespace {

constexpr ULONGLONG kTicksPerSecond = 10000000;   // FILETIME units
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ull;  // 1970-01-01

ULONGLONG toUInt64(const FILETIME& ft)
{
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME toFileTime(ULONGLONG v)
{
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

ULONGLONG nowAsFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochAsFileTime + static_cast<ULONGLONG>(ts.tv_sec) * kTicksPerSecond +
           static_cast<ULONGLONG>(ts.tv_nsec) / 100;
}

ULONGLONG monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000000000ull + static_cast<ULONGLONG>(ts.tv_nsec);
}

// Local time minus UTC, in FILETIME units, as it is now. Windows also applies the
// current bias to any FILETIME in FileTimeToLocalFileTime, whatever its date.
LONGLONG currentBias()
{
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    return static_cast<LONGLONG>(local.tm_gmtoff) * static_cast<LONGLONG>(kTicksPerSecond);
}

}  // namespace

void GetSystemTimeAsFileTime(LPFILETIME out) { *out = toFileTime(nowAsFileTime()); }

void GetSystemTime(LPSYSTEMTIME out)
{
    FILETIME ft = toFileTime(nowAsFileTime());
    FileTimeToSystemTime(&ft, out);
}

void GetLocalTime(LPSYSTEMTIME out)
{
    FILETIME utc = toFileTime(nowAsFileTime());
    FILETIME local;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, out);
}

BOOL FileTimeToSystemTime(const FILETIME* in, LPSYSTEMTIME out)
{
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONGLONG t = toUInt64(*in);
    if (t > 0x7FFFFFFFFFFFFFFFull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto days = static_cast<LONGLONG>(t / (kTicksPerSecond * 86400));
    ULONGLONG rest = t % (kTicksPerSecond * 86400);
    kv::platform::CivilDate d = kv::platform::civilFromDays(days + kv::platform::kDaysFrom1970To1601);
    out->wYear = static_cast<WORD>(d.year);
    out->wMonth = static_cast<WORD>(d.month);
    out->wDay = static_cast<WORD>(d.day);
    out->wDayOfWeek = static_cast<WORD>(kv::platform::weekdayFromDays(days + kv::platform::kDaysFrom1970To1601));
    out->wHour = static_cast<WORD>(rest / (kTicksPerSecond * 3600));
    out->wMinute = static_cast<WORD>(rest / (kTicksPerSecond * 60) % 60);
    out->wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
    out->wMilliseconds = static_cast<WORD>(rest / 10000 % 1000);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* in, LPFILETIME out)
{
    if (!in || !out || in->wYear < 1601 || in->wYear > 30827 || in->wMonth < 1 || in->wMonth > 12 ||
        in->wDay < 1 || in->wDay > kv::platform::daysInMonth(in->wYear, in->wMonth) || in->wHour > 23 ||
        in->wMinute > 59 || in->wSecond > 59 || in->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LONGLONG days = kv::platform::daysFromCivil(in->wYear, in->wMonth, in->wDay) - kv::platform::kDaysFrom1970To1601;
    ULONGLONG t = static_cast<ULONGLONG>(days) * 86400 * kTicksPerSecond +
                  (static_cast<ULONGLONG>(in->wHour) * 3600 + in->wMinute * 60 + in->wSecond) * kTicksPerSecond +
                  static_cast<ULONGLONG>(in->wMilliseconds) * 10000;
    *out = toFileTime(t);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* in, LPFILETIME out)
{
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *out = toFileTime(toUInt64(*in) + static_cast<ULONGLONG>(currentBias()));
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* in, LPFILETIME out)
{
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *out = toFileTime(toUInt64(*in) - static_cast<ULONGLONG>(currentBias()));
    return TRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b)
{
    ULONGLONG x = toUInt64(*a), y = toUInt64(*b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG GetTickCount64() { return monotonicNs() / 1000000; }

// 10 MHz, the frequency current Windows and Wine report.
BOOL QueryPerformanceCounter(LARGE_INTEGER* out)
{
    if (!out)
        return FALSE;
    out->QuadPart = static_cast<LONGLONG>(monotonicNs() / 100);
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* out)
{
    if (!out)
        return FALSE;
    out->QuadPart = 10000000;
    return TRUE;
}
