// The worked-out texts of the main window: the status line and the comms server's
// version in the about box.
#include "app/WindowText.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowText, StatusLine)
{
    struct Row {
        bool online;
        StatusCounts counts;
        size_t queued;
        const char* expected;
    };
    const Row rows[] = {
        {false, {1, 2, 3, 4, 5, 6}, 7, "offline"},
        {true, {}, 0, "ev/s: i:0, r:0, a:0, o:0, u:0; u/s:0. Queue: 0"},
        {true, {10, 0, 0, 0, 250, 12000}, 123, "ev/s: i:10, r:0, a:0, o:0, u:250; u/s:12000. Queue: 123"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(statusLineText(row.online, row.counts, row.queued), row.expected);
}

TEST(WindowText, CommsVersionDigits)
{
    const std::pair<long, const char*> rows[] = {
        {0x010203, "01.02.03"},
        // Digits above 9 print as decimal numbers, and higher bits are not shown.
        {0xABCDEF, "1011.1213.1415"},
        {0x7F123456, "12.34.56"},
    };
    for (const auto& [version, text] : rows)
        EXPECT_EQ(commsVersionText(version), text) << std::hex << version;
}

}  // namespace
