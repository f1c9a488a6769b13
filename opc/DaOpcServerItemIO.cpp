// The server COM object's group-less access (IOPCItemIO) and the interfaces this system
// answers without doing anything: public groups (it makes none), private security (it
// has none) and IPersistFile (no configuration handler is installed).
#include <vector>

#include "opc/DaEntry.h"
#include "opc/DaOpcCall.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTrace.h"

namespace {

constexpr HRESULT kOpcNotFound = (HRESULT)0xC0040011L;  // OPC_E_NOTFOUND

std::vector<std::string> itemIdsFromClient(const LPCWSTR* ids, DWORD count)
{
    std::vector<std::string> out(count);
    for (DWORD i = 0; i < count; ++i)
        out[i] = daTextFromClient(ids[i]);
    return out;
}

// The per-item errors to the client's array; S_FALSE when any failed.
HRESULT errorsToClient(const std::vector<HRESULT>& errors, DWORD count, HRESULT** ppErrors)
{
    DaOpcOut<HRESULT> out;
    if (!out.allocate(count))
        return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        out[i] = i < errors.size() ? errors[i] : E_FAIL;
        anyFailed = anyFailed || FAILED(out[i]);
    }
    *ppErrors = out.release();
    return anyFailed ? S_FALSE : S_OK;
}

}  // namespace

// ---- IOPCItemIO ---------------------------------------------------------------------

STDMETHODIMP DaOpcServer::Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                               WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemIO::Read", traceId());
    daNullOutputs(ppvValues, ppwQualities, ppftTimeStamps, ppErrors);
    if (FAILED(daCheckArray(dwCount, pszItemIDs)) || !pdwMaxAge || !ppvValues || !ppwQualities || !ppftTimeStamps ||
        !ppErrors)
        return call.done(E_INVALIDARG);
    std::vector<DaReadResult> results;
    std::vector<HRESULT> errors;
    HRESULT hr = server_->readTags(itemIdsFromClient(pszItemIDs, dwCount),
                                   {reinterpret_cast<const uint32_t*>(pdwMaxAge), dwCount}, results, errors);
    if (FAILED(hr))
        return call.done(hr);
    const HRESULT answer = errorsToClient(errors, dwCount, ppErrors);
    if (FAILED(answer))
        return call.done(answer);
    hr = daReadResultsToClient(results, errors, dwCount, ppvValues, ppwQualities, ppftTimeStamps);
    if (FAILED(hr)) {
        CoTaskMemFree(*ppErrors);
        *ppErrors = nullptr;
        return call.done(hr);
    }
    return call.done(answer);
}

STDMETHODIMP DaOpcServer::WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemIO::WriteVQT", traceId());
    daNullOutputs(ppErrors);
    if (FAILED(daCheckArray(dwCount, pszItemIDs)) || !pItemVQT || !ppErrors)
        return call.done(E_INVALIDARG);
    std::vector<VARIANT> values;
    std::vector<DaWriteQT> qts;
    daVqtsFromClient(pItemVQT, dwCount, values, qts);
    std::vector<HRESULT> errors;
    HRESULT hr = server_->writeTags(itemIdsFromClient(pszItemIDs, dwCount), values, qts, errors);
    if (FAILED(hr))
        return call.done(hr);
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

// ---- IOPCServerPublicGroups ---------------------------------------------------------

STDMETHODIMP DaOpcServer::GetPublicGroupByName(LPCWSTR szName, REFIID, LPUNKNOWN* ppUnk)
{
    DaOpcCall call("IOPCServerPublicGroups::GetPublicGroupByName", traceId());
    if (!ppUnk)
        return call.done(E_INVALIDARG);
    *ppUnk = nullptr;
    // The container holds templates only; no group is ever made public in it.
    KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId(), "no public group");
    return call.done(kOpcNotFound);
}

STDMETHODIMP DaOpcServer::RemovePublicGroup(OPCHANDLE, BOOL)
{
    DaOpcCall call("IOPCServerPublicGroups::RemovePublicGroup", traceId());
    return call.done(E_FAIL);
}

// ---- IOPCSecurityPrivate ------------------------------------------------------------

STDMETHODIMP DaOpcServer::IsAvailablePriv(BOOL* pbAvailable)
{
    DaOpcCall call("IOPCSecurityPrivate::IsAvailablePriv", traceId());
    if (!pbAvailable)
        return call.done(E_INVALIDARG);
    *pbAvailable = FALSE;
    return call.done(S_OK);
}

STDMETHODIMP DaOpcServer::Logon(LPCWSTR, LPCWSTR)
{
    DaOpcCall call("IOPCSecurityPrivate::Logon", traceId());
    return call.done(E_ACCESSDENIED);
}

STDMETHODIMP DaOpcServer::Logoff()
{
    DaOpcCall call("IOPCSecurityPrivate::Logoff", traceId());
    return call.done(E_FAIL);
}

// ---- IPersistFile -------------------------------------------------------------------

STDMETHODIMP DaOpcServer::GetClassID(CLSID* pClassID)
{
    DaOpcCall call("IPersistFile::GetClassID", traceId());
    if (!pClassID)
        return call.done(E_INVALIDARG);
    *pClassID = DaEntry::instance().clsid();
    return call.done(S_OK);
}

// Without a configuration handler nothing is ever changed, so nothing is to be saved.
STDMETHODIMP DaOpcServer::IsDirty()
{
    DaOpcCall call("IPersistFile::IsDirty", traceId());
    return call.done(S_FALSE);
}

STDMETHODIMP DaOpcServer::Load(LPCOLESTR pszFileName, DWORD)
{
    DaOpcCall call("IPersistFile::Load", traceId());
    return call.done(pszFileName ? E_FAIL : E_INVALIDARG);
}

STDMETHODIMP DaOpcServer::Save(LPCOLESTR, BOOL)
{
    DaOpcCall call("IPersistFile::Save", traceId());
    return call.done(E_FAIL);
}

STDMETHODIMP DaOpcServer::SaveCompleted(LPCOLESTR)
{
    DaOpcCall call("IPersistFile::SaveCompleted", traceId());
    return call.done(S_OK);
}

STDMETHODIMP DaOpcServer::GetCurFile(LPOLESTR* ppszFileName)
{
    DaOpcCall call("IPersistFile::GetCurFile", traceId());
    if (!ppszFileName)
        return call.done(E_INVALIDARG);
    *ppszFileName = nullptr;
    return call.done(E_FAIL);
}
