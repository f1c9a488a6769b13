// The server COM object's two diagnostic interfaces. IKestrovaOPCTrace works on the
// process trace and a trace buffer of this connection; IKestrovaOPCWatch on a watch
// object of this connection. Both are made on first use and kept while the object
// lives. The trace documents are UTF-8 XML; the watch documents carry the engine's
// texts, which are in the system's code page.
#include <new>
#include <string>

#include "opc/DaEntry.h"
#include "opc/DaOpcCall.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTraceOptions.h"

namespace {

std::string narrowFromClient(const wchar_t* text, UINT codePage)
{
    const int bytes = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

// Task-allocated for the client; null when the allocation fails.
LPWSTR wideForClient(const std::string& text, UINT codePage)
{
    const int chars = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc(static_cast<size_t>(chars > 0 ? chars : 1) * sizeof(WCHAR)));
    if (out) {
        out[0] = L'\0';
        MultiByteToWideChar(codePage, 0, text.c_str(), -1, out, chars);
    }
    return out;
}

DaWatchEntry watchEntry()
{
    const DaEntry& entry = DaEntry::instance();
    DaWatchEntry shown;
    WCHAR clsid[40] = {};
    StringFromGUID2(entry.clsid(), clsid, 40);
    shown.clsid = narrowFromClient(clsid, CP_ACP);
    shown.vendor = entry.identity().vendor;
    shown.major = entry.identity().majorVersion;
    shown.minor = entry.identity().minorVersion;
    shown.build = entry.identity().buildNumber;
    const FILETIME start = entry.startTime();
    shown.startTime = (uint64_t(start.dwHighDateTime) << 32) | start.dwLowDateTime;
    shown.serverState = entry.serverState();
    return shown;
}

// Hands a watch document to the client.
HRESULT handOut(const std::string& document, LPWSTR* out)
{
    *out = wideForClient(document, CP_ACP);
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

// ---- IKestrovaOPCWatch --------------------------------------------------------------

DaWatch* DaOpcServer::watch()
{
    std::lock_guard<std::mutex> hold(watchLock_);
    if (!watch_)
        watch_.reset(new (std::nothrow) DaWatch(server_, watchEntry()));
    return watch_.get();
}

DaWatch* DaOpcServer::existingWatch()
{
    std::lock_guard<std::mutex> hold(watchLock_);
    return watch_.get();
}

HRESULT DaOpcServer::watchLookup(const char* method, LPCWSTR id, LPWSTR* out,
                                 HRESULT (DaWatch::*lookup)(std::string_view, std::string&) const)
{
    DaOpcCall call(method, traceId(), true);
    daNullOutputs(out);
    if (!id || !out)
        return call.done(E_INVALIDARG);
    DaWatch* watcher = watch();
    if (!watcher)
        return call.done(E_NOTIMPL);
    std::string document;
    HRESULT hr = (watcher->*lookup)(narrowFromClient(id, CP_ACP), document);
    return call.done(SUCCEEDED(hr) ? handOut(document, out) : hr);
}

STDMETHODIMP DaOpcServer::GetChildren(LPCWSTR szParent, LPWSTR* pszChildren)
{
    return watchLookup("IKestrovaOPCWatch::GetChildren", szParent, pszChildren, &DaWatch::getChildren);
}

STDMETHODIMP DaOpcServer::CollectChanges(LPCWSTR szObjects, BOOL bCollect)
{
    DaOpcCall call("IKestrovaOPCWatch::CollectChanges", traceId(), true);
    if (!szObjects)
        return call.done(E_INVALIDARG);
    DaWatch* watcher = watch();
    if (!watcher)
        return call.done(E_NOTIMPL);
    return call.done(watcher->collectChanges(narrowFromClient(szObjects, CP_ACP), bCollect != FALSE));
}

STDMETHODIMP DaOpcServer::GetChanges(LPWSTR* pszChanges)
{
    DaOpcCall call("IKestrovaOPCWatch::GetChanges", traceId(), true);
    daNullOutputs(pszChanges);
    if (!pszChanges)
        return call.done(E_INVALIDARG);
    DaWatch* watcher = watch();
    return call.done(watcher ? handOut(watcher->getChanges(), pszChanges) : E_NOTIMPL);
}

STDMETHODIMP DaOpcServer::GetStatistics(LPWSTR* pszStatistics)
{
    DaOpcCall call("IKestrovaOPCWatch::GetStatistics", traceId(), true);
    daNullOutputs(pszStatistics);
    if (!pszStatistics)
        return call.done(E_INVALIDARG);
    DaWatch* watcher = watch();
    return call.done(watcher ? handOut(watcher->getStatistics(), pszStatistics) : E_NOTIMPL);
}

STDMETHODIMP DaOpcServer::GetObject(LPCWSTR szObject, LPWSTR* pszObject)
{
    return watchLookup("IKestrovaOPCWatch::GetObject", szObject, pszObject, &DaWatch::getObject);
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
    const std::string document = narrowFromClient(szOptions, CP_UTF8);
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
    *pszOptions = wideForClient(getTraceOptions(TVCmnTrace::process(), buffer), CP_UTF8);
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
