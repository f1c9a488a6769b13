#include "opc/DaOpcGroup.h"

#include <olectl.h>

#include <new>
#include <span>
#include <vector>

#include "common/TVCmnString.h"
#include "common/TVCmnVariant.h"
#include "da/DaServer.h"
#include "opc/DaLocale.h"
#include "opc/DaOpcCall.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTrace.h"

namespace {

std::span<const uint32_t> handleSpan(const OPCHANDLE* handles, DWORD count)
{
    static_assert(sizeof(OPCHANDLE) == sizeof(uint32_t));
    return {reinterpret_cast<const uint32_t*>(handles), count};
}

// The engine's per-item errors to the client's array; S_FALSE when any failed.
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

std::vector<DaItemDef> itemDefs(const OPCITEMDEF* items, DWORD count)
{
    std::vector<DaItemDef> defs(count);
    for (DWORD i = 0; i < count; ++i) {
        defs[i].itemId = daTextFromClient(items[i].szItemID);
        defs[i].accessPath = daTextFromClient(items[i].szAccessPath);
        defs[i].requestedType = items[i].vtRequestedDataType;
        defs[i].active = items[i].bActive != FALSE;
        defs[i].clientHandle = items[i].hClient;
    }
    return defs;
}

}  // namespace

// The IOPCDataCallback connection point: the sink becomes the group's V2 connection.
class DaOpcGroup::CallbackPoint final : public DaOpcConnectionPoint {
public:
    explicit CallbackPoint(DaOpcGroup& group) : DaOpcConnectionPoint(group, IID_IOPCDataCallback), group_(group) {}

protected:
    HRESULT onAdvise(IUnknown* sink, DWORD& cookie) override
    {
        cookie = group_.group_->adviseCallback(static_cast<IOPCDataCallback*>(sink));
        return cookie ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT onUnadvise(DWORD cookie) override { return group_.group_->unadvise(cookie); }
    bool isUsable() const override { return !group_.isRemoved(); }

private:
    DaOpcGroup& group_;
};

DaOpcGroup* DaOpcGroup::create(DaOpcServer* owner, DaRef<DaGroup> group)
{
    return new (std::nothrow) DaOpcGroup(owner, std::move(group));
}

DaOpcGroup::DaOpcGroup(DaOpcServer* owner, DaRef<DaGroup> group)
    : owner_(owner), group_(std::move(group)), serverHandle_(group_->serverHandle())
{
    owner_->AddRef();
    traceId_ = daObjectTraceId("grp", this, group_->name());
    callbackPoint_ = new CallbackPoint(*this);
}

DaOpcGroup::~DaOpcGroup()
{
    delete callbackPoint_;
    owner_->groupObjectGone(serverHandle_, this);
    owner_->Release();
}

STDMETHODIMP DaOpcGroup::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCItemMgt)
        *ppv = static_cast<IOPCItemMgt*>(this);
    else if (riid == IID_IOPCGroupStateMgt || riid == IID_IOPCGroupStateMgt2)
        *ppv = static_cast<IOPCGroupStateMgt2*>(this);
    else if (riid == IID_IOPCSyncIO)
        *ppv = static_cast<IOPCSyncIO*>(this);
    else if (riid == IID_IOPCAsyncIO2)
        *ppv = static_cast<IOPCAsyncIO2*>(this);
    else if (riid == IID_IOPCItemDeadbandMgt)
        *ppv = static_cast<IOPCItemDeadbandMgt*>(this);
    else if (riid == IID_IConnectionPointContainer)
        *ppv = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) DaOpcGroup::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) DaOpcGroup::Release()
{
    ULONG refs = --refs_;
    if (refs == 0)
        delete this;
    return refs;
}

bool DaOpcGroup::tryAddRef()
{
    ULONG refs = refs_.load();
    while (refs != 0)
        if (refs_.compare_exchange_weak(refs, refs + 1))
            return true;
    return false;
}

void DaOpcGroup::disconnectFromClient()
{
    callbackPoint_->drop();
    CoDisconnectObject(static_cast<IOPCItemMgt*>(this), 0);
}

void DaOpcGroup::releaseClientReferences(ULONG keep)
{
    while (refs_.load() > keep)
        Release();
}

bool DaOpcGroup::isRemoved() const
{
    DaServer* server = group_->server();
    return group_->isRemoved() || !server || server->isDisconnected();
}

bool DaOpcGroup::hasCallback() const { return group_->hasConnection(DaConnection::Kind::v2); }

// ---- IOPCGroupStateMgt --------------------------------------------------------------

STDMETHODIMP DaOpcGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                  FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                  OPCHANDLE* phServerGroup)
{
    DaOpcCall call("IOPCGroupStateMgt::GetState", traceId_.c_str());
    if (ppName)
        *ppName = nullptr;
    if (isRemoved())
        return call.done(E_FAIL);
    if (ppName && !(*ppName = daTextForClient(group_->name())))
        return call.done(E_OUTOFMEMORY);
    if (pUpdateRate)
        *pUpdateRate = group_->updateRate();
    if (pActive)
        *pActive = group_->isActive() ? TRUE : FALSE;
    if (pTimeBias)
        *pTimeBias = group_->timeBias();
    if (pPercentDeadband)
        *pPercentDeadband = group_->deadband();
    if (pLCID)
        *pLCID = group_->lcid();
    if (phClientGroup)
        *phClientGroup = group_->clientHandle();
    if (phServerGroup)
        *phServerGroup = serverHandle_;
    return call.done(S_OK);
}

STDMETHODIMP DaOpcGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                  LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                  OPCHANDLE* phClientGroup)
{
    DaOpcCall call("IOPCGroupStateMgt::SetState", traceId_.c_str());
    if (!pRevisedUpdateRate || FAILED(daCheckDeadband(pPercentDeadband)))
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    // Checked before anything changes: a refused LCID leaves the whole state as it was.
    if (pLCID && !group_->server()->isLCIDSupported(*pLCID))
        return call.done(E_INVALIDARG);
    if (pLCID)
        group_->setLCID(*pLCID);
    if (pActive)
        group_->setActive(*pActive != FALSE);
    HRESULT result = S_OK;
    if (pRequestedUpdateRate) {
        uint32_t revised = 0;
        group_->setUpdateRate(*pRequestedUpdateRate, &revised);
        if (revised != *pRequestedUpdateRate)
            result = OPC_S_UNSUPPORTEDRATE;
    }
    if (phClientGroup)
        group_->setClientHandle(*phClientGroup);
    if (pTimeBias)
        group_->setTimeBias(*pTimeBias);
    if (pPercentDeadband)
        group_->setDeadband(*pPercentDeadband);
    *pRevisedUpdateRate = group_->updateRate();
    return call.done(result);
}

STDMETHODIMP DaOpcGroup::SetName(LPCWSTR szName)
{
    DaOpcCall call("IOPCGroupStateMgt::SetName", traceId_.c_str());
    if (!szName)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    return call.done(group_->setName(daTextFromClient(szName)));
}

STDMETHODIMP DaOpcGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk)
{
    DaOpcCall call("IOPCGroupStateMgt::CloneGroup", traceId_.c_str());
    if (!ppUnk)
        return call.done(E_INVALIDARG);
    *ppUnk = nullptr;
    if (isRemoved())
        return call.done(E_FAIL);
    return call.done(E_NOTIMPL);
}

STDMETHODIMP DaOpcGroup::SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime)
{
    DaOpcCall call("IOPCGroupStateMgt2::SetKeepAlive", traceId_.c_str());
    if (!pdwRevisedKeepAliveTime)
        return call.done(E_INVALIDARG);
    *pdwRevisedKeepAliveTime = 0;
    if (isRemoved())
        return call.done(E_FAIL);
    uint32_t revised = 0;
    HRESULT hr = group_->setKeepAlive(dwKeepAliveTime, &revised);
    if (FAILED(hr))
        return call.done(hr);
    *pdwRevisedKeepAliveTime = revised;
    return call.done(revised == dwKeepAliveTime ? S_OK : OPC_S_UNSUPPORTEDRATE);
}

STDMETHODIMP DaOpcGroup::GetKeepAlive(DWORD* pdwKeepAliveTime)
{
    DaOpcCall call("IOPCGroupStateMgt2::GetKeepAlive", traceId_.c_str());
    if (!pdwKeepAliveTime)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    *pdwKeepAliveTime = group_->keepAlive();
    return call.done(S_OK);
}

// ---- IOPCItemMgt --------------------------------------------------------------------

namespace {

HRESULT itemResultsToClient(const std::vector<DaItemResult>& results, const std::vector<HRESULT>& errors,
                            DWORD count, OPCITEMRESULT** ppResults, HRESULT** ppErrors)
{
    DaOpcOut<OPCITEMRESULT> out;
    if (!out.allocate(count))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count && i < results.size(); ++i) {
        out[i].hServer = results[i].serverHandle;
        out[i].vtCanonicalDataType = results[i].canonicalType;
        out[i].dwAccessRights = results[i].accessRights;
    }
    HRESULT hr = errorsToClient(errors, count, ppErrors);
    if (FAILED(hr))
        return hr;
    *ppResults = out.release();
    return hr;
}

}  // namespace

STDMETHODIMP DaOpcGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                  HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemMgt::AddItems", traceId_.c_str());
    if (ppAddResults)
        *ppAddResults = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, pItemArray)) || !ppAddResults || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<DaItemDef> defs = itemDefs(pItemArray, dwCount);
    std::vector<DaItemResult> results;
    std::vector<HRESULT> errors;
    HRESULT hr = group_->addItems(defs, results, errors);
    if (FAILED(hr))
        return call.done(hr);
    return call.done(itemResultsToClient(results, errors, dwCount, ppAddResults, ppErrors));
}

STDMETHODIMP DaOpcGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                                       HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemMgt::ValidateItems", traceId_.c_str());
    if (ppValidationResults)
        *ppValidationResults = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, pItemArray)) || !ppValidationResults || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<DaItemDef> defs = itemDefs(pItemArray, dwCount);
    std::vector<DaItemResult> results;
    std::vector<HRESULT> errors;
    HRESULT hr = group_->validateItems(defs, results, errors);
    if (FAILED(hr))
        return call.done(hr);
    return call.done(itemResultsToClient(results, errors, dwCount, ppValidationResults, ppErrors));
}

STDMETHODIMP DaOpcGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemMgt::RemoveItems", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<HRESULT> errors;
    HRESULT hr = group_->removeItems(handleSpan(phServer, dwCount), errors);
    if (FAILED(hr))
        return call.done(hr);
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

STDMETHODIMP DaOpcGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemMgt::SetActiveState", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<HRESULT> errors;
    HRESULT hr = group_->setItemsActive(handleSpan(phServer, dwCount), bActive != FALSE, errors);
    if (FAILED(hr))
        return call.done(hr);
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

STDMETHODIMP DaOpcGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                          HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemMgt::SetClientHandles", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !phClient || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<HRESULT> errors(dwCount, S_OK);
    for (DWORD i = 0; i < dwCount; ++i) {
        DaRef<DaItem> item = group_->findItem(phServer[i]);
        if (!item)
            errors[i] = OPC_E_INVALIDHANDLE;
        else
            item->setClientHandle(phClient[i]);
    }
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

STDMETHODIMP DaOpcGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                      HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemMgt::SetDatatypes", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !pRequestedDatatypes || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<HRESULT> errors(dwCount, S_OK);
    for (DWORD i = 0; i < dwCount; ++i) {
        DaRef<DaItem> item = group_->findItem(phServer[i]);
        errors[i] = item ? item->setRequestedDatatype(pRequestedDatatypes[i]) : OPC_E_INVALIDHANDLE;
    }
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

// ---- IOPCSyncIO ---------------------------------------------------------------------

STDMETHODIMP DaOpcGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                              OPCITEMSTATE** ppItemValues, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCSyncIO::Read", traceId_.c_str());
    if (ppItemValues)
        *ppItemValues = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (!daIsDataSource(dwSource) || FAILED(daCheckArray(dwCount, phServer)) || !ppItemValues || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<DaReadResult> results;
    std::vector<HRESULT> errors;
    HRESULT hr = group_->syncRead(dwSource == kDaSourceDevice, handleSpan(phServer, dwCount), results, errors);
    if (FAILED(hr))
        return call.done(hr);
    DaOpcOut<OPCITEMSTATE> states;
    if (!states.allocate(dwCount))
        return call.done(E_OUTOFMEMORY);
    for (DWORD i = 0; i < dwCount; ++i) {
        if (DaRef<DaItem> item = group_->findItem(phServer[i]))
            states[i].hClient = item->clientHandle();
        if (i < results.size() && i < errors.size() && SUCCEEDED(errors[i])) {
            results[i].value.detachTo(states[i].vDataValue);
            states[i].wQuality = results[i].quality;
            states[i].ftTimeStamp = results[i].timestamp;
        }
    }
    hr = errorsToClient(errors, dwCount, ppErrors);
    if (FAILED(hr)) {
        for (DWORD i = 0; i < dwCount; ++i)
            VariantClear(&states[i].vDataValue);
        return call.done(hr);
    }
    *ppItemValues = states.release();
    return call.done(hr);
}

STDMETHODIMP DaOpcGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCSyncIO::Write", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !pItemValues || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<HRESULT> errors;
    HRESULT hr = group_->syncWrite(handleSpan(phServer, dwCount), {pItemValues, dwCount}, errors);
    if (FAILED(hr))
        return call.done(hr);
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

// ---- IOPCAsyncIO2 -------------------------------------------------------------------

STDMETHODIMP DaOpcGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                              HRESULT** ppErrors)
{
    DaOpcCall call("IOPCAsyncIO2::Read", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !pdwCancelID || !ppErrors)
        return call.done(E_INVALIDARG);
    *pdwCancelID = 0;
    if (isRemoved())
        return call.done(E_FAIL);
    if (!hasCallback())
        return call.done(CONNECT_E_NOCONNECTION);
    std::vector<HRESULT> errors;
    uint32_t cancelId = 0;
    HRESULT hr = group_->asyncRead(true, handleSpan(phServer, dwCount), dwTransactionID, DaConnectionType::v2,
                                   &cancelId, errors);
    if (FAILED(hr))
        return call.done(hr);
    *pdwCancelID = cancelId;
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

STDMETHODIMP DaOpcGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                               DWORD* pdwCancelID, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCAsyncIO2::Write", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !pItemValues || !pdwCancelID || !ppErrors)
        return call.done(E_INVALIDARG);
    *pdwCancelID = 0;
    if (isRemoved())
        return call.done(E_FAIL);
    if (!hasCallback())
        return call.done(CONNECT_E_NOCONNECTION);
    std::vector<HRESULT> errors;
    uint32_t cancelId = 0;
    HRESULT hr = group_->asyncWrite(handleSpan(phServer, dwCount), {pItemValues, dwCount}, dwTransactionID,
                                    DaConnectionType::v2, &cancelId, errors);
    if (FAILED(hr))
        return call.done(hr);
    *pdwCancelID = cancelId;
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

STDMETHODIMP DaOpcGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    DaOpcCall call("IOPCAsyncIO2::Refresh2", traceId_.c_str());
    if (!daIsDataSource(dwSource) || !pdwCancelID)
        return call.done(E_INVALIDARG);
    *pdwCancelID = 0;
    if (isRemoved())
        return call.done(E_FAIL);
    if (!hasCallback())
        return call.done(CONNECT_E_NOCONNECTION);
    if (!group_->isActive()) {
        KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId_.c_str(), "group not active");
        return call.done(E_FAIL);
    }
    uint32_t cancelId = 0;
    HRESULT hr = group_->refresh(dwSource == kDaSourceDevice, dwTransactionID, DaConnectionType::v2, &cancelId);
    if (hr == E_FAIL)
        KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId_.c_str(), "no active item in group");
    if (SUCCEEDED(hr))
        *pdwCancelID = cancelId;
    return call.done(hr);
}

STDMETHODIMP DaOpcGroup::Cancel2(DWORD dwCancelID)
{
    DaOpcCall call("IOPCAsyncIO2::Cancel2", traceId_.c_str());
    if (isRemoved())
        return call.done(E_FAIL);
    return call.done(group_->cancel(dwCancelID));
}

STDMETHODIMP DaOpcGroup::SetEnable(BOOL bEnable)
{
    DaOpcCall call("IOPCAsyncIO2::SetEnable", traceId_.c_str());
    if (isRemoved())
        return call.done(E_FAIL);
    if (!hasCallback())
        return call.done(CONNECT_E_NOCONNECTION);
    const bool was = group_->isEnabled();
    HRESULT hr = group_->setEnable(bEnable != FALSE);
    // Switched back on: a refresh lets the client catch up with what it missed.
    if (SUCCEEDED(hr) && !was && bEnable && group_->isActive()) {
        uint32_t cancelId = 0;
        group_->refresh(false, 0, DaConnectionType::v2, &cancelId);
    }
    return call.done(hr);
}

STDMETHODIMP DaOpcGroup::GetEnable(BOOL* pbEnable)
{
    DaOpcCall call("IOPCAsyncIO2::GetEnable", traceId_.c_str());
    if (!pbEnable)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    if (!hasCallback())
        return call.done(CONNECT_E_NOCONNECTION);
    *pbEnable = group_->isEnabled() ? TRUE : FALSE;
    return call.done(S_OK);
}

// ---- IOPCItemDeadbandMgt ------------------------------------------------------------

STDMETHODIMP DaOpcGroup::SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                         HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemDeadbandMgt::SetItemDeadband", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !pPercentDeadband || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<HRESULT> errors(dwCount, S_OK);
    for (DWORD i = 0; i < dwCount; ++i) {
        DaRef<DaItem> item = group_->findItem(phServer[i]);
        if (!item)
            errors[i] = OPC_E_INVALIDHANDLE;
        else if (FAILED(daCheckDeadband(&pPercentDeadband[i])))
            errors[i] = E_INVALIDARG;
        else
            errors[i] = item->setItemDeadband(pPercentDeadband[i]);
    }
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

STDMETHODIMP DaOpcGroup::GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                         HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemDeadbandMgt::GetItemDeadband", traceId_.c_str());
    if (ppPercentDeadband)
        *ppPercentDeadband = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !ppPercentDeadband || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    DaOpcOut<FLOAT> deadbands;
    if (!deadbands.allocate(dwCount))
        return call.done(E_OUTOFMEMORY);
    std::vector<HRESULT> errors(dwCount, S_OK);
    for (DWORD i = 0; i < dwCount; ++i) {
        DaRef<DaItem> item = group_->findItem(phServer[i]);
        errors[i] = item ? item->getItemDeadband(&deadbands[i]) : OPC_E_INVALIDHANDLE;
    }
    HRESULT hr = errorsToClient(errors, dwCount, ppErrors);
    if (SUCCEEDED(hr))
        *ppPercentDeadband = deadbands.release();
    return call.done(hr);
}

STDMETHODIMP DaOpcGroup::ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemDeadbandMgt::ClearItemDeadband", traceId_.c_str());
    if (ppErrors)
        *ppErrors = nullptr;
    if (FAILED(daCheckArray(dwCount, phServer)) || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    std::vector<HRESULT> errors(dwCount, S_OK);
    for (DWORD i = 0; i < dwCount; ++i) {
        DaRef<DaItem> item = group_->findItem(phServer[i]);
        errors[i] = item ? item->clearItemDeadband() : OPC_E_INVALIDHANDLE;
    }
    return call.done(errorsToClient(errors, dwCount, ppErrors));
}

// ---- IConnectionPointContainer ------------------------------------------------------

STDMETHODIMP DaOpcGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (ppEnum)
        *ppEnum = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP DaOpcGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_IOPCDataCallback)
        return CONNECT_E_NOCONNECTION;
    *ppCP = callbackPoint_;
    AddRef();
    return S_OK;
}
