// Keeps what the process trace writes while it is installed, under the level masks the
// test asks for, and leaves the trace's masks as they were.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "trace/TVCmnTrace.h"

class TraceCapture final : public TVCmnTraceSink {
public:
    struct Line {
        int level;
        uint32_t group;
        std::string objectId, message;
    };
    TraceCapture(uint32_t errorMask, uint32_t warningMask, uint32_t infoMask, uint32_t debugMask)
    {
        TVCmnTrace& trace = TVCmnTrace::process();
        for (int level = kTraceError; level <= kTraceDebug; ++level)
            saved_[level] = trace.levelMask(level);
        trace.setLevels(errorMask, warningMask, infoMask, debugMask);
        trace.addSink(this);
    }
    ~TraceCapture() override
    {
        TVCmnTrace& trace = TVCmnTrace::process();
        trace.removeSink(this);
        trace.setLevels(saved_[0], saved_[1], saved_[2], saved_[3]);
    }
    void traceLine(const char*, size_t, int level, uint32_t group, const char* objectId, const char* message) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back({level, group, objectId, message});
    }
    std::vector<Line> lines()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }
    bool has(const std::string& message)
    {
        std::lock_guard<std::mutex> hold(lock_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) { return line.message == message; });
    }

private:
    uint32_t saved_[4] = {};
    std::mutex lock_;
    std::vector<Line> lines_;  // guarded by lock_
};
