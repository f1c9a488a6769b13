#include "opc/DaLocale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "trace/TVCmnTrace.h"

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

class LineCapture final : public TVCmnTraceSink {
public:
    void traceLine(const char*, size_t, int level, uint32_t group, const char* objectId, const char* message) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines.push_back({level, group, objectId, message});
    }
    struct Line {
        int level;
        uint32_t group;
        std::string objectId, message;
    };
    std::mutex lock_;
    std::vector<Line> lines;
};

TEST(DaLocale, SettingRefusesUnsupportedLcidsWithATraceLine)
{
    TVCmnTrace& trace = TVCmnTrace::process();
    const uint32_t masks[] = {trace.levelMask(kTraceError), trace.levelMask(kTraceWarning),
                              trace.levelMask(kTraceInfo), trace.levelMask(kTraceDebug)};
    trace.setLevels(masks[0], masks[1], kTraceGroupOpc, masks[3]);
    LineCapture capture;
    trace.addSink(&capture);

    DaLocaleSetting setting;
    EXPECT_EQ(setting.lcid(), 0x800u);
    EXPECT_TRUE(setting.set(1031, "(srv|00000001)"));
    EXPECT_EQ(setting.lcid(), 1031u);
    EXPECT_FALSE(setting.set(1036, "(srv|00000001)"));
    EXPECT_EQ(setting.lcid(), 1031u);
    EXPECT_TRUE(setting.set(0, "(srv|00000001)"));
    EXPECT_EQ(setting.lcid(), 0u);

    trace.removeSink(&capture);
    trace.setLevels(masks[0], masks[1], masks[2], masks[3]);
    ASSERT_EQ(capture.lines.size(), 1u);
    EXPECT_EQ(capture.lines[0].level, kTraceInfo);
    EXPECT_EQ(capture.lines[0].group, kTraceGroupOpc);
    EXPECT_EQ(capture.lines[0].objectId, "(srv|00000001)");
    EXPECT_EQ(capture.lines[0].message, "can't set locale id to 0x40C (LCID not supported)");
}

}  // namespace
