#include "opc/DaLocale.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/da_engine/TraceCapture.h"

namespace {

TEST(DaLocale, AvailableIdsAddTheMachineDefaultsOnce)
{
    struct Row {
        const char* name;
        LCID systemDefault, userDefault;
        std::vector<LCID> ids;
    };
    const Row rows[] = {
        {"both US English", 1033, 1033, {0x800, 0x400, 0, 1033, 1031, 1053}},
        {"system French", 1036, 1033, {0x800, 0x400, 0, 1033, 1031, 1053, 1036}},
        {"system French, user UK English", 1036, 2057, {0x800, 0x400, 0, 1033, 1031, 1053, 1036, 2057}},
        {"user Swedish", 1033, 1053, {0x800, 0x400, 0, 1033, 1031, 1053}},
        {"both Finnish", 1035, 1035, {0x800, 0x400, 0, 1033, 1031, 1053, 1035}},
        {"German with a sort ID is another LCID", 0x10407, 1033, {0x800, 0x400, 0, 1033, 1031, 1053, 0x10407}},
    };
    for (const Row& row : rows) {
        std::vector<LCID> ids = daAvailableLocaleIds(row.systemDefault, row.userDefault);
        EXPECT_EQ(ids, row.ids) << row.name;
        EXPECT_LE(ids.size(), kDaMaxLocaleIds) << row.name;
    }
}

// Our machines (the stand-in and the Wine prefix) are US English throughout.
TEST(DaLocale, SupportedIsAnExactMatchOfTheList)
{
    struct Row {
        LCID lcid;
        bool supported;
    };
    const Row rows[] = {{0x800, true}, {0x400, true}, {0, true},        {1033, true},     {1031, true},
                        {1053, true},  {1036, false}, {0x10407, false}, {0x0807, false}, {2057, false}};
    for (const Row& row : rows) EXPECT_EQ(daLocaleSupported(row.lcid), row.supported) << row.lcid;
}

TEST(DaLocale, QueryAvailableLocaleIds)
{
    DWORD count = 99;
    LCID* ids = reinterpret_cast<LCID*>(0x1);
    EXPECT_EQ(daQueryAvailableLocaleIds(&count, nullptr), E_INVALIDARG);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(daQueryAvailableLocaleIds(nullptr, &ids), E_INVALIDARG);
    EXPECT_EQ(ids, nullptr);

    ASSERT_EQ(daQueryAvailableLocaleIds(&count, &ids), S_OK);
    ASSERT_EQ(count, 6u);
    EXPECT_EQ(std::vector<LCID>(ids, ids + count), (std::vector<LCID>{0x800, 0x400, 0, 1033, 1031, 1053}));
    CoTaskMemFree(ids);
}

TEST(DaLocale, SettingRefusesUnsupportedLcidsWithATraceLine)
{
    TraceCapture capture(0, 0, kTraceGroupOpc, 0);
    DaLocaleSetting setting;
    EXPECT_EQ(setting.lcid(), 0x800u);
    EXPECT_TRUE(setting.set(1031, "(srv|00000001)"));
    EXPECT_FALSE(setting.set(1036, "(srv|00000001)"));
    EXPECT_EQ(setting.lcid(), 1031u);
    EXPECT_TRUE(setting.set(0, "(srv|00000001)"));
    EXPECT_EQ(setting.lcid(), 0u);

    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, kTraceInfo);
    EXPECT_EQ(lines[0].group, kTraceGroupOpc);
    EXPECT_EQ(lines[0].objectId, "(srv|00000001)");
    EXPECT_EQ(lines[0].message, "can't set locale id to 0x40C (LCID not supported)");
}

}  // namespace
