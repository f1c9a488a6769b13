// Where the engine's trace lines go: the process trace (TVCmnTrace, group 1 at the
// line's level), with the tracing object's trace name as the object id and the message
// texts the engine is known by ("added transaction %s", "send keep alive %s", ...).
// Tests install a sink of their own instead, to read the lines. A line that nobody
// wants costs two loads, and its arguments are not formatted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "trace/TVCmnTrace.h"

enum DaTraceLevel : int {
    kDaTraceError = kTraceError,
    kDaTraceWarning = kTraceWarning,
    kDaTraceInfo = kTraceInfo,
    kDaTraceDebug = kTraceDebug,
};

class DaEngineTrace {
public:
    // Called with the finished message; must not call back into the engine.
    using Sink = void (*)(int level, const std::string& objectName, const std::string& message, void* context);

    // Bit n set: level n goes to the installed sink; without a sink the process trace's
    // masks decide.
    static bool isOn(int level)
    {
        return ((levels_.load(std::memory_order_relaxed) >> level) & 1) || TVCmnTrace::processIsOn(level, kTraceGroupOpc);
    }
    static void setSink(Sink sink, void* context, uint32_t levelMask);
    static void line(int level, const std::string& objectName, const char* fmt, ...) KV_PRINTF_FORMAT(3, 4);

private:
    static std::atomic<uint32_t> levels_;
};

// The object expression is only evaluated when the level is on.
#define DA_TRACE(level, object, ...)                                        \
    do {                                                                    \
        if (DaEngineTrace::isOn(level))                                     \
            DaEngineTrace::line((level), (object)->traceName(), __VA_ARGS__); \
    } while (0)
