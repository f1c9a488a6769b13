// FILETIME and SYSTEMTIME conversions and the clocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/win.h"

namespace {

ULONGLONG asUInt64(const FILETIME& ft) { return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

FILETIME fromUInt64(ULONGLONG v) { return FILETIME{DWORD(v), DWORD(v >> 32)}; }

TEST(FileTime, SystemTimeConversionsBothWays)
{
    const struct {
        ULONGLONG fileTime;
        SYSTEMTIME st;
    } rows[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {132224832000000000ull, {2020, 1, 5, 3, 0, 0, 0, 0}},
        {132225959451230000ull, {2020, 1, 6, 4, 7, 19, 5, 123}},
        {2650467743999990000ull, {9999, 12, 5, 31, 23, 59, 59, 999}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fileTime);
        FILETIME ft = fromUInt64(row.fileTime);
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(0, std::memcmp(&row.st, &st, sizeof st)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
        FILETIME back{};
        ASSERT_TRUE(SystemTimeToFileTime(&row.st, &back));
        EXPECT_EQ(row.fileTime, asUInt64(back));
    }
}

TEST(FileTime, InvalidTimesAreRejected)
{
    const SYSTEMTIME rows[] = {
#ifndef _WIN32
        // Windows rejects 29 February of a common year; Wine 8 only checks day <= 31.
        {2019, 2, 0, 29, 0, 0, 0, 0},
#endif
        {2019, 4, 0, 31, 0, 0, 0, 0},
        {2020, 13, 0, 1, 0, 0, 0, 0},
        {2020, 1, 0, 1, 24, 0, 0, 0},
        {2020, 1, 0, 1, 0, 0, 0, 1000},
        {1600, 12, 0, 31, 0, 0, 0, 0},
    };
    for (const auto& st : rows) {
        FILETIME ft;
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    }
    FILETIME negative = fromUInt64(0x8000000000000000ull);
    SYSTEMTIME st;
    EXPECT_FALSE(FileTimeToSystemTime(&negative, &st));
}

TEST(FileTime, SystemAndLocalClocksAgreeWithTheirBrokenDownForms)
{
    FILETIME before, after;
    SYSTEMTIME now;
    GetSystemTimeAsFileTime(&before);
    GetSystemTime(&now);
    GetSystemTimeAsFileTime(&after);
    FILETIME nowFt;
    ASSERT_TRUE(SystemTimeToFileTime(&now, &nowFt));
    // SYSTEMTIME keeps milliseconds only.
    EXPECT_LE(asUInt64(before) / 10000, asUInt64(nowFt) / 10000);
    EXPECT_GE(asUInt64(after), asUInt64(nowFt));

    // Local time is UTC plus the current bias, both ways.
    FILETIME utc = after, local, back;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(asUInt64(utc), asUInt64(back));

    SYSTEMTIME st;
    GetLocalTime(&st);
    FILETIME clock;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &clock));
    const LONGLONG diff = static_cast<LONGLONG>(asUInt64(clock) - asUInt64(local));
    EXPECT_LT(std::llabs(diff), 10LL * 10000000);  // same local time within ten seconds
}

TEST(Clocks, TickCountsAdvance)
{
    const ULONGLONG t64 = GetTickCount64();
    // The 32-bit count is the low half of the 64-bit one (give or take the time between).
    EXPECT_LT(static_cast<DWORD>(GetTickCount() - static_cast<DWORD>(t64)), 1000u);
    LARGE_INTEGER freq, a, b;
    ASSERT_TRUE(QueryPerformanceFrequency(&freq));
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    // Wine's tick count moves in coarse steps: 20 ms of sleep has shown as 14.
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_GE(GetTickCount64() - t64, 5u);
    EXPECT_GE((b.QuadPart - a.QuadPart) * 1000 / freq.QuadPart, 5);
}

}  // namespace
