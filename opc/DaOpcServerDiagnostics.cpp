// The server COM object's two diagnostic interfaces. IKestrovaOPCTrace works on the
// process trace and a trace buffer of this connection, made on first use; the watch
// object of IKestrovaOPCWatch is not built in this system, so its calls answer
// E_NOTIMPL after their argument checks.
#include <new>
#include <string>

#include "opc/DaOpcCall.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTraceOptions.h"

namespace {

// The trace documents are UTF-8 XML; clients send and receive wide text.
std::string utf8FromClient(const wchar_t* text)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

LPWSTR utf8ForClient(const std::string& text)
{
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc(static_cast<size_t>(chars > 0 ? chars : 1) * sizeof(WCHAR)));
    if (out) {
        out[0] = L'\0';
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out, chars);
    }
    return out;
}

// The common answer of the watch calls: E_INVALIDARG for a missing output, E_NOTIMPL.
HRESULT noWatchObject(const char* method, const char* traceId, bool argumentsOk)
{
    DaOpcCall call(method, traceId, true);
    return call.done(argumentsOk ? E_NOTIMPL : E_INVALIDARG);
}

}  // namespace

// ---- IKestrovaOPCWatch --------------------------------------------------------------

STDMETHODIMP DaOpcServer::GetChildren(LPCWSTR szParent, LPWSTR* pszChildren)
{
    daNullOutputs(pszChildren);
    return noWatchObject("IKestrovaOPCWatch::GetChildren", traceId(), szParent && pszChildren);
}

STDMETHODIMP DaOpcServer::CollectChanges(LPCWSTR szObjects, BOOL)
{
    return noWatchObject("IKestrovaOPCWatch::CollectChanges", traceId(), szObjects != nullptr);
}

STDMETHODIMP DaOpcServer::GetChanges(LPWSTR* pszChanges)
{
    daNullOutputs(pszChanges);
    return noWatchObject("IKestrovaOPCWatch::GetChanges", traceId(), pszChanges != nullptr);
}

STDMETHODIMP DaOpcServer::GetStatistics(LPWSTR* pszStatistics)
{
    daNullOutputs(pszStatistics);
    return noWatchObject("IKestrovaOPCWatch::GetStatistics", traceId(), pszStatistics != nullptr);
}

STDMETHODIMP DaOpcServer::GetObject(LPCWSTR szObject, LPWSTR* pszObject)
{
    daNullOutputs(pszObject);
    return noWatchObject("IKestrovaOPCWatch::GetObject", traceId(), szObject && pszObject);
}

// ---- IKestrovaOPCTrace --------------------------------------------------------------

TVCmnTraceBuffer* DaOpcServer::traceBuffer()
{
    std::lock_guard<std::mutex> hold(traceLock_);
    if (!traceBuffer_)
        traceBuffer_.reset(new (std::nothrow) TVCmnTraceBuffer(TVCmnTrace::process()));
    return traceBuffer_.get();
}

STDMETHODIMP DaOpcServer::SetTraceOptions(LPCWSTR szOptions)
{
    DaOpcCall call("IKestrovaOPCTrace::SetTraceOptions", traceId(), true);
    if (!szOptions)
        return call.done(E_INVALIDARG);
    TVCmnTraceBuffer* buffer = traceBuffer();
    if (!buffer)
        return call.done(E_OUTOFMEMORY);
    const std::string document = utf8FromClient(szOptions);
    return call.done(setTraceOptions(TVCmnTrace::process(), buffer, document.data(), document.size()));
}

STDMETHODIMP DaOpcServer::GetTraceOptions(LPWSTR* pszOptions)
{
    DaOpcCall call("IKestrovaOPCTrace::GetTraceOptions", traceId(), true);
    if (!pszOptions)
        return call.done(E_INVALIDARG);
    *pszOptions = nullptr;
    TVCmnTraceBuffer* buffer = traceBuffer();
    if (!buffer)
        return call.done(E_OUTOFMEMORY);
    *pszOptions = utf8ForClient(getTraceOptions(TVCmnTrace::process(), buffer));
    return call.done(*pszOptions ? S_OK : E_OUTOFMEMORY);
}

STDMETHODIMP DaOpcServer::SaveTraceOptions()
{
    DaOpcCall call("IKestrovaOPCTrace::SaveTraceOptions", traceId(), true);
    return call.done(TVCmnTrace::process().saveOptions());
}

STDMETHODIMP DaOpcServer::GetTrace(LPWSTR* pszTrace)
{
    DaOpcCall call("IKestrovaOPCTrace::GetTrace", traceId(), true);
    if (!pszTrace)
        return call.done(E_INVALIDARG);
    *pszTrace = nullptr;
    TVCmnTraceBuffer* buffer = traceBuffer();
    if (!buffer)
        return call.done(E_OUTOFMEMORY);
    return call.done(buffer->getTrace(pszTrace));
}
