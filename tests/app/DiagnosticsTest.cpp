// postDiagnostic as the user and the trace see it: which classes are shown and traced,
// the exact line, the list's 999-line cycle, and lines that are dropped.
#include "app/Diagnostics.h"

#include <gtest/gtest.h>

#include "tests/trace/TraceTestSupport.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using tracetest::Capture;
using tracetest::SinkLine;

struct Posted {
    bool emptyFirst;
    std::string line;
};

// Stands in for the main window.
class Window : public DiagnosticTarget {
public:
    bool postLine(bool emptyListFirst, DiagnosticLine line) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (failPosts)
            return false;  // the line goes with its owner, as with a failed PostMessage
        posted_.push_back(Posted{emptyListFirst, line.get()});
        return true;
    }
    std::vector<Posted> posted() const { std::lock_guard<std::mutex> hold(lock_); return posted_; }
    bool failPosts = false;

private:
    mutable std::mutex lock_;
    std::vector<Posted> posted_;  // guarded by lock_
};

// 2026-12-06 09:05:07.042 UTC
void fixedUtc(SYSTEMTIME* time)
{
    *time = SYSTEMTIME{2026, 12, 0, 6, 9, 5, 7, 42};
}

struct Fixture {
    tracetest::TestTrace t;
    Window window;
    AppDiagnostics diagnostics;
    explicit Fixture(uint16_t flags)
    {
        t.trace.setLevels(~0u, ~0u, ~0u, ~0u);
        diagnostics.flags = flags;
        diagnostics.target = &window;
        diagnostics.trace = &t.trace;
        diagnostics.utcClock = fixedUtc;
    }
    std::vector<Posted> posted() const { return window.posted(); }
    std::vector<SinkLine> traced() const { return t.capture.lines(); }
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
        const std::vector<Posted> posted = f.posted();
        ASSERT_EQ(posted.size(), row.shown ? 1u : 0u) << row.name;
        if (row.shown) {
            EXPECT_EQ(posted[0].line, "2026/12/6 9:5:7.42 drive 3: offline") << row.name;
        }
        const std::vector<SinkLine> traced = f.traced();
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
    f.t.trace.setLevels(0x10000000, 0, 0x20000000, 0);  // U1 only at error level
    postDiagnostic(f.diagnostics, kDiagNamespace, "not traced: info has no U1");
    postDiagnostic(f.diagnostics, kDiagNormalComms, "%s", std::string(700, 'q').c_str());
    ASSERT_EQ(f.posted().size(), 2u) << "showing does not depend on the trace";
    EXPECT_EQ(f.posted()[1].line, "2026/12/6 9:5:7.42 " + std::string(511, 'q'));
    ASSERT_EQ(f.traced().size(), 1u);
    EXPECT_EQ(f.traced()[0].message, std::string(400, 'q')) << "the trace cuts at 400";
}

TEST(PostDiagnostic, TheListIsEmptiedFirstEvery999Lines)
{
    Fixture f(kDiagAlways);
    for (int i = 0; i < 2000; ++i)
        postDiagnostic(f.diagnostics, kDiagAlways, "line %d", i);
    const std::vector<Posted> posted = f.posted();
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
    EXPECT_TRUE(f.traced().empty());
    f.diagnostics.saving = false;
    f.window.failPosts = true;
    postDiagnostic(f.diagnostics, kDiagCommsError, "a failed post");
    f.diagnostics.target = nullptr;
    postDiagnostic(f.diagnostics, kDiagCommsError, "no window yet");
    EXPECT_TRUE(f.posted().empty());
    EXPECT_EQ(f.traced().size(), 2u) << "tracing still happens";
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
    for (const Posted& p : f.posted())
        emptied += p.emptyFirst ? 1 : 0;
    EXPECT_EQ(f.posted().size(), 2000u);
    EXPECT_EQ(emptied, 2);
    EXPECT_EQ(f.diagnostics.lineCount.load(), 2);
    EXPECT_EQ(f.traced().size(), 2000u);
}

}  // namespace
