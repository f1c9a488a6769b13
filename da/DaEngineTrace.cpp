#include "da/DaEngineTrace.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "da/DaEngine.h"

std::atomic<uint32_t> DaEngineTrace::levels_{0};

namespace {
std::mutex g_sinkLock;
DaEngineTrace::Sink g_sink = nullptr;  // guarded by g_sinkLock
void* g_sinkContext = nullptr;         // guarded by g_sinkLock

std::atomic<DaClock::TickSource> g_tickSource{nullptr};
std::atomic<DaClock::TimeSource> g_timeSource{nullptr};
}  // namespace

void DaEngineTrace::setSink(Sink sink, void* context, uint32_t levelMask)
{
    std::lock_guard<std::mutex> hold(g_sinkLock);
    g_sink = sink;
    g_sinkContext = context;
    levels_.store(sink ? levelMask : 0, std::memory_order_relaxed);
}

void DaEngineTrace::line(int level, const std::string& objectName, const char* fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> hold(g_sinkLock);
        if (g_sink) {
            g_sink(level, objectName, text, g_sinkContext);
            return;
        }
    }
    if (TVCmnTrace::processIsOn(level, kTraceGroupOpc))
        TVCmnTrace::process().line(level, kTraceGroupOpc, objectName.c_str(), "%s", text);
}

const char* daTransactionKindText(DaTransactionKind kind)
{
    switch (kind) {
    case DaTransactionKind::asyncRead:
    case DaTransactionKind::syncRead: return "read";
    case DaTransactionKind::serverRead: return "reaD";
    case DaTransactionKind::asyncWrite:
    case DaTransactionKind::syncWrite: return "write";
    case DaTransactionKind::polledRefresh: return "polledRef";
    case DaTransactionKind::refresh: return "refresh";
    case DaTransactionKind::cyclic: return "cyclic";
    default: return "";
    }
}

const char* daConnectionTypeText(DaConnectionType type)
{
    switch (type) {
    case DaConnectionType::v1: return ";V1)";
    case DaConnectionType::v2: return ";V2)";
    case DaConnectionType::sync: return ";SY)";
    case DaConnectionType::xml: return ";XML)";
    default: return ")";
    }
}

uint32_t DaClock::tick()
{
    if (TickSource source = g_tickSource.load(std::memory_order_acquire))
        return source();
    return TVCmnTick::now();
}

uint64_t DaClock::now()
{
    if (TimeSource source = g_timeSource.load(std::memory_order_acquire))
        return source();
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return daFileTimeToUint(ft);
}

void DaClock::setSources(TickSource tick, TimeSource time)
{
    g_tickSource.store(tick, std::memory_order_release);
    g_timeSource.store(time, std::memory_order_release);
}
