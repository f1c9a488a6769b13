#include "common/TVCmnQuality.h"

#include <gtest/gtest.h>

namespace {

TEST(TVCmnQualityTest, TextNamesQualitySubstatusLimitAndVendorBits)
{
    struct Row {
        std::uint16_t quality;
        const char* text;
    };
    const Row rows[] = {
        {0xC0, "good"},
        {0x54, "uncertain, EU units exceeded"},
        {0x18, "bad, comm failure"},
        {0xC1, "good, low limited"},
        {0x1B, "bad, comm failure, constant"},
        {0x48, "uncertain, substatus 2"},
        {0x80, "invalid, substatus 0"},
        {0x12C0, "good, vendor 0x12"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TVCmnQuality::text(row.quality), row.text) << "quality 0x" << std::hex << row.quality;
}

}  // namespace
