// The trace tests' capture on the process trace, under the level masks the test asks
// for; the masks go back as they were.
#pragma once

#include <algorithm>
#include <string>

#include "tests/trace/TraceTestSupport.h"

class TraceCapture final : public tracetest::Capture {
public:
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
    bool has(const std::string& message) const
    {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const tracetest::SinkLine& line) { return line.message == message; });
    }

private:
    uint32_t saved_[4] = {};
};
