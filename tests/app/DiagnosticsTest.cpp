// postDiagnostic as the user and the trace see it: which classes are shown and traced,
// the exact line, the list's 999-line cycle, and lines that are dropped.
#include "app/Diagnostics.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Posted {
    bool emptyFirst;
    std::string line;
};

struct TracedLine {
    int level;
    uint32_t group;
    std::string objectId, message;
};

// Stands in for the main window, and listens to the trace.
class Recorder : public DiagnosticTarget, public TVCmnTraceSink, public TVCmnDebuggerOutput {
public:
    bool postLine(bool emptyListFirst, DiagnosticLine line) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (failPosts)
            return false;  // the line goes with its owner, as with a failed PostMessage
        posted_.push_back(Posted{emptyListFirst, line.get()});
        return true;
    }
    void traceLine(const char*, size_t, int level, uint32_t group, const char* objectId, const char* message) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        traced_.push_back(TracedLine{level, group, objectId, message});
    }
    void write(const char*) override {}
    std::vector<Posted> posted() const { std::lock_guard<std::mutex> hold(lock_); return posted_; }
    std::vector<TracedLine> traced() const { std::lock_guard<std::mutex> hold(lock_); return traced_; }
    bool failPosts = false;

private:
    mutable std::mutex lock_;
    std::vector<Posted> posted_;
    std::vector<TracedLine> traced_;
};

// 2026-12-06 09:05:07.042 UTC
void fixedUtc(SYSTEMTIME* time)
{
    *time = SYSTEMTIME{};
    time->wYear = 2026, time->wMonth = 12, time->wDay = 6;
    time->wHour = 9, time->wMinute = 5, time->wSecond = 7, time->wMilliseconds = 42;
}

struct Fixture {
    TVCmnTrace trace;
    Recorder recorder;
    AppDiagnostics diagnostics;
    explicit Fixture(uint16_t flags)
    {
        trace.setDebuggerOutput(&recorder);
        trace.addSink(&recorder);
        trace.setLevels(~0u, ~0u, ~0u, ~0u);
        diagnostics.flags = flags;
        diagnostics.target = &recorder;
        diagnostics.trace = &trace;
        diagnostics.utcClock = fixedUtc;
    }
    ~Fixture() { trace.removeSink(&recorder); }
};

TEST(PostDiagnostic, ClassDecidesWhetherShownAndHowTraced)
{
    const struct {
        const char* name;
        uint16_t flags, diagClass;
        bool shown, traced;
        int level;
        uint32_t group;
    } rows[] = {
        {"always, with no flags", 0, kDiagAlways, true, false, 0, 0},
        {"namespace off: traced all the same", 0, kDiagNamespace, false, true, kTraceInfo, 0x10000000},
        {"namespace on", kDiagNamespace, kDiagNamespace, true, true, kTraceInfo, 0x10000000},
        {"comms error", kDiagCommsError, kDiagCommsError, true, true, kTraceError, 0x20000000},
        {"normal comms, off", kDiagCommsError, kDiagNormalComms, false, true, kTraceInfo, 0x20000000},
        {"comms event: never traced", kDiagCommsEvent, kDiagCommsEvent, true, false, 0, 0},
        {"either comms class, one on", kDiagCommsError, kDiagAnyComms, true, false, 0, 0},
        {"either comms class, none on", kDiagNamespace, kDiagAnyComms, false, false, 0, 0},
    };
    for (const auto& row : rows) {
        Fixture f(row.flags);
        postDiagnostic(f.diagnostics, row.diagClass, "drive %d: %s", 3, "offline");
        const std::vector<Posted> posted = f.recorder.posted();
        ASSERT_EQ(posted.size(), row.shown ? 1u : 0u) << row.name;
        if (row.shown) {
            EXPECT_EQ(posted[0].line, "2026/12/6 9:5:7.42 drive 3: offline") << row.name;
        }
        const std::vector<TracedLine> traced = f.recorder.traced();
        ASSERT_EQ(traced.size(), row.traced ? 1u : 0u) << row.name;
        if (row.traced) {
            EXPECT_EQ(traced[0].level, row.level) << row.name;
            EXPECT_EQ(traced[0].group, row.group) << row.name;
            EXPECT_EQ(traced[0].objectId, "Server app") << row.name;
            EXPECT_EQ(traced[0].message, "drive 3: offline") << row.name;
        }
    }
}

TEST(PostDiagnostic, TracingFollowsTheTraceMasksAndCutsLongMessages)
{
    Fixture f(kDiagNamespace | kDiagNormalComms);
    f.trace.setLevels(0x10000000, 0, 0x20000000, 0);  // U1 only at error level
    postDiagnostic(f.diagnostics, kDiagNamespace, "not traced: info has no U1");
    postDiagnostic(f.diagnostics, kDiagNormalComms, "%s", std::string(700, 'q').c_str());
    ASSERT_EQ(f.recorder.posted().size(), 2u) << "showing does not depend on the trace";
    EXPECT_EQ(f.recorder.posted()[1].line, "2026/12/6 9:5:7.42 " + std::string(511, 'q'));
    ASSERT_EQ(f.recorder.traced().size(), 1u);
    EXPECT_EQ(f.recorder.traced()[0].message, std::string(400, 'q')) << "the trace cuts at 400";
}

TEST(PostDiagnostic, TheListIsEmptiedFirstEvery999Lines)
{
    Fixture f(kDiagAlways);
    for (int i = 0; i < 2000; ++i)
        postDiagnostic(f.diagnostics, kDiagAlways, "line %d", i);
    const std::vector<Posted> posted = f.recorder.posted();
    ASSERT_EQ(posted.size(), 2000u);
    for (size_t i = 0; i < posted.size(); ++i)
        ASSERT_EQ(posted[i].emptyFirst, i == 999 || i == 1998) << "line " << i;
    EXPECT_EQ(f.diagnostics.lineCount.load(), 2);
}

TEST(PostDiagnostic, LinesDuringASaveOrWithoutAWindowAreLost)
{
    Fixture f(kDiagCommsError);
    f.diagnostics.saving = true;
    postDiagnostic(f.diagnostics, kDiagCommsError, "during the save: not shown, not traced");
    EXPECT_TRUE(f.recorder.traced().empty());
    f.diagnostics.saving = false;
    f.recorder.failPosts = true;
    postDiagnostic(f.diagnostics, kDiagCommsError, "a failed post");
    f.diagnostics.target = nullptr;
    postDiagnostic(f.diagnostics, kDiagCommsError, "no window yet");
    EXPECT_TRUE(f.recorder.posted().empty());
    EXPECT_EQ(f.recorder.traced().size(), 2u) << "tracing still happens";
}

// Many threads report at once; the count stays exact (run under TSan as well).
TEST(PostDiagnostic, ConcurrentPostersKeepTheCountExact)
{
    Fixture f(kDiagAlways);
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n) {
        threads.emplace_back([&f, n] {
            for (int i = 0; i < 500; ++i)
                postDiagnostic(f.diagnostics, kDiagCommsError, "thread %d line %d", n, i);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    int emptied = 0;
    for (const Posted& p : f.recorder.posted())
        emptied += p.emptyFirst ? 1 : 0;
    EXPECT_EQ(f.recorder.posted().size(), 2000u);
    EXPECT_EQ(emptied, 2);
    EXPECT_EQ(f.diagnostics.lineCount.load(), 2);
    EXPECT_EQ(f.recorder.traced().size(), 2000u);
}

}  // namespace
