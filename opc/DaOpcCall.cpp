#include "opc/DaOpcCall.h"

#include <cmath>
#include <cstring>

#include "trace/TVCmnTrace.h"

namespace {

LONGLONG highResolutionCount()
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

}  // namespace

DaOpcCall::DaOpcCall(const char* method, const char* traceId, bool diagnostic)
    : method_(method), traceId_(traceId), diagnostic_(diagnostic)
{
    KV_TRACE(kTraceDebug, kTraceGroupOpc, traceId_, "%s >>", method_);
    start_ = highResolutionCount();
}

HRESULT DaOpcCall::done(HRESULT result)
{
    const int level = result != S_OK ? kTraceError : diagnostic_ ? kTraceDebug : kTraceInfo;
    if (TVCmnTrace::processIsOn(level, kTraceGroupOpc)) {
        TVCmnTrace& trace = TVCmnTrace::process();
        TVCmnElapsedText elapsed = trace.elapsedText(start_, highResolutionCount());
        trace.line(level, kTraceGroupOpc, traceId_, "%s (%s ms)[0x%X]", method_, elapsed.text,
                   static_cast<unsigned>(result));
    }
    return result;
}

HRESULT daCheckDeadband(const float* percent)
{
    if (!percent)
        return S_OK;
    // Written so that NaN fails both comparisons and lands outside.
    return *percent >= 0.0f && *percent <= 100.0f ? S_OK : E_INVALIDARG;
}

HRESULT daCheckArray(DWORD count, const void* array)
{
    return count != 0 && array ? S_OK : E_INVALIDARG;
}
