// Where the engine's trace lines go. Lines carry the tracing object's trace name and the
// message texts the engine is known by ("added transaction %s", "send keep alive %s",
// ...). Until the process-wide trace facility is wired to the engine, lines go to a
// replaceable sink; tests install one to read them. A level that no sink wants costs
// one load, and its arguments are not formatted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#if defined(__MINGW32__)
#define DA_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define DA_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

enum DaTraceLevel : int { kDaTraceError = 0, kDaTraceWarning = 1, kDaTraceInfo = 2, kDaTraceDebug = 3 };

class DaEngineTrace {
public:
    // Called with the finished message; must not call back into the engine.
    using Sink = void (*)(int level, const std::string& objectName, const std::string& message, void* context);

    // Bit n set: level n goes to the sink.
    static bool isOn(int level) { return (levels_.load(std::memory_order_relaxed) >> level) & 1; }
    static void setSink(Sink sink, void* context, uint32_t levelMask);
    static void line(int level, const std::string& objectName, const char* fmt, ...) DA_PRINTF_FORMAT(3, 4);

private:
    static std::atomic<uint32_t> levels_;
};

// The object expression is only evaluated when the level is on.
#define DA_TRACE(level, object, ...)                                        \
    do {                                                                    \
        if (DaEngineTrace::isOn(level))                                     \
            DaEngineTrace::line((level), (object)->traceName(), __VA_ARGS__); \
    } while (0)
