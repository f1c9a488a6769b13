#include "common/TVCmnThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/TVCmnException.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kSafetyNetMs = 10000;

struct Report {
    std::string threadName;
    std::string what;
};

// The hook is process-wide: every test here installs the capturing one and removes it.
std::mutex gReportsMutex;
std::vector<Report> gReports;  // guarded by gReportsMutex
TVCmnEvent gReported(TVCmnEvent::Reset::automatic);

void captureReport(const char* threadName, const char* what)
{
    {
        std::lock_guard<std::mutex> hold(gReportsMutex);
        gReports.push_back({threadName, what});
    }
    gReported.set();
}

std::vector<Report> reportsSoFar()
{
    std::lock_guard<std::mutex> hold(gReportsMutex);
    return gReports;
}

class TVCmnThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TVCmnThread::setExceptionHook(&captureReport);
        std::lock_guard<std::mutex> hold(gReportsMutex);
        gReports.clear();
        gReported.reset();
    }
    void TearDown() override { TVCmnThread::setExceptionHook(nullptr); }
};

TEST_F(TVCmnThreadTest, OnceRunsTheWorkOnceAndRepeatUntilStopIsAsked)
{
    int runs = 0, passes = 0;
    TVCmnThread once("once", [&runs](TVCmnThread&) { ++runs; });
    TVCmnThread repeat("repeat", [&passes](TVCmnThread& self) {
        if (++passes == 5)
            self.requestStop();
    }, TVCmnThread::Mode::repeat);
    ASSERT_TRUE(once.start());
    ASSERT_TRUE(repeat.start());
    ASSERT_EQ(repeat.stopEvent().wait(kSafetyNetMs), TVCmnEvent::kWaitObject0);
    EXPECT_TRUE(once.stop(kSafetyNetMs));
    EXPECT_TRUE(repeat.stop(kSafetyNetMs));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(passes, 5) << "no pass after the stop request";
}

TEST_F(TVCmnThreadTest, WaitingWorkStopsWhenAskedAndStartTwiceIsRefused)
{
    TVCmnEvent started(TVCmnEvent::Reset::manual);
    TVCmnThread thread("waiter", [&started](TVCmnThread& self) {
        started.set();
        self.stopEvent().wait(TVCmnEvent::kInfinite);
    });
    ASSERT_TRUE(thread.start());
    ASSERT_EQ(started.wait(kSafetyNetMs), TVCmnEvent::kWaitObject0);
    EXPECT_TRUE(thread.isRunning());
    EXPECT_FALSE(thread.start()) << "already running";
    EXPECT_TRUE(thread.stop(kSafetyNetMs));
    EXPECT_FALSE(thread.isRunning());
    EXPECT_TRUE(thread.start()) << "a stopped runner can run again";
    ASSERT_EQ(started.wait(kSafetyNetMs), TVCmnEvent::kWaitObject0);
    // The destructor stops and joins it.
}

TEST_F(TVCmnThreadTest, EscapedExceptionIsReportedAndTheWorkRestartsAfterTheDelay)
{
    struct Row {
        const char* name;
        void (*raise)();
        const char* reportedText;
    };
    const Row rows[] = {
        {"std exception", [] { throw std::runtime_error("bad pass"); }, "bad pass"},
        {"anything else", [] { throw 42; }, "unknown exception"},
    };
    for (const Row& row : rows) {
        SetUp();
        std::vector<Clock::time_point> starts;  // only the runner thread touches it until stop
        TVCmnEvent thirdRun(TVCmnEvent::Reset::manual);
        TVCmnThread thread("worker", [&](TVCmnThread& self) {
            starts.push_back(Clock::now());
            if (starts.size() <= 2)
                row.raise();
            thirdRun.set();
            self.stopEvent().wait(TVCmnEvent::kInfinite);
        });
        ASSERT_TRUE(thread.start()) << row.name;
        ASSERT_EQ(thirdRun.wait(kSafetyNetMs), TVCmnEvent::kWaitObject0) << row.name;
        EXPECT_TRUE(thread.stop(kSafetyNetMs)) << row.name;

        ASSERT_EQ(starts.size(), 3u) << row.name;
        for (std::size_t i = 1; i < starts.size(); ++i) {
            // A little slack below 100 ms for the ms steps of the Windows clocks.
            EXPECT_GE(starts[i] - starts[i - 1], std::chrono::milliseconds(95)) << row.name << ", restart " << i;
        }
        const std::vector<Report> reports = reportsSoFar();
        ASSERT_EQ(reports.size(), 2u) << row.name;
        for (const Report& report : reports) {
            EXPECT_EQ(report.threadName, "worker") << row.name;
            EXPECT_EQ(report.what, row.reportedText) << row.name;
        }
        EXPECT_EQ(thread.exceptionCount(), 2u) << row.name;
    }
}

TEST_F(TVCmnThreadTest, StopDuringTheRestartDelayEndsTheThread)
{
    TVCmnThread thread("failing", [](TVCmnThread&) { throw std::runtime_error("always"); });
    ASSERT_TRUE(thread.start());
    ASSERT_EQ(gReported.wait(kSafetyNetMs), TVCmnEvent::kWaitObject0);
    EXPECT_TRUE(thread.stop(kSafetyNetMs));
    EXPECT_FALSE(thread.isRunning());
}

TEST_F(TVCmnThreadTest, ReportsBeforeTheHookAreHandedToItWhenInstalled)
{
    TVCmnThread::setExceptionHook(nullptr);
    TVCmnEvent secondRun(TVCmnEvent::Reset::manual);
    int runs = 0;
    TVCmnThread thread("early", [&](TVCmnThread& self) {
        if (++runs == 1)
            throw TVCmnException(std::string("before trace"));
        secondRun.set();  // the first report is complete by now
        self.stopEvent().wait(TVCmnEvent::kInfinite);
    });
    ASSERT_TRUE(thread.start());
    ASSERT_EQ(secondRun.wait(kSafetyNetMs), TVCmnEvent::kWaitObject0);
    EXPECT_TRUE(reportsSoFar().empty());

    TVCmnThread::setExceptionHook(&captureReport);
    const std::vector<Report> reports = reportsSoFar();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].threadName, "early");
    EXPECT_EQ(reports[0].what, "before trace");

    TVCmnThread::setExceptionHook(nullptr);
    TVCmnThread::setExceptionHook(&captureReport);
    EXPECT_EQ(reportsSoFar().size(), 1u) << "a kept report is handed over once";
}

TEST_F(TVCmnThreadTest, WorkThatStopsItsOwnRunnerDoesNotDeadlock)
{
    bool stopAnswer = true;
    TVCmnThread thread("self", [&stopAnswer](TVCmnThread& self) { stopAnswer = self.stop(kSafetyNetMs); });
    ASSERT_TRUE(thread.start());
    ASSERT_EQ(thread.stopEvent().wait(kSafetyNetMs), TVCmnEvent::kWaitObject0);
    EXPECT_TRUE(thread.stop(kSafetyNetMs));
    EXPECT_FALSE(stopAnswer) << "a thread cannot wait for itself";
}

}  // namespace
