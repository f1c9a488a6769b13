#include "opc/DaOpcGroup.h"

#include <olectl.h>

#include <algorithm>
#include <new>
#include <span>
#include <vector>

#include "common/TVCmnString.h"
#include "common/TVCmnVariant.h"
#include "da/DaObjectRoot.h"
#include "da/DaServer.h"
#include "opc/DaLocale.h"
#include "opc/DaOpcCall.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTrace.h"

namespace {

// Handles and max ages (both DWORD on the wire) as the engine takes them.
std::span<const uint32_t> handleSpan(const DWORD* values, DWORD count)
{
    static_assert(sizeof(OPCHANDLE) == sizeof(uint32_t) && sizeof(DWORD) == sizeof(uint32_t));
    return {reinterpret_cast<const uint32_t*>(values), count};
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
    else if (riid == IID_IOPCSyncIO || riid == IID_IOPCSyncIO2)
        *ppv = static_cast<IOPCSyncIO2*>(this);
    else if (riid == IID_IOPCAsyncIO2 || riid == IID_IOPCAsyncIO3)
        *ppv = static_cast<IOPCAsyncIO3*>(this);
    else if (riid == IID_IOPCPublicGroupStateMgt)
        *ppv = static_cast<IOPCPublicGroupStateMgt*>(this);
    else if (riid == IID_IOPCAsyncIO)
        *ppv = static_cast<IOPCAsyncIO*>(this);
    else if (riid == IID_IDataObject)
        *ppv = static_cast<IDataObject*>(this);
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
    // The client reaches the callback point through a proxy of its own, whose stub
    // holds references on this group: it is cut as well, or the group outlives the
    // client.
    callbackPoint_->disconnect();
    CoDisconnectObject(static_cast<IOPCItemMgt*>(this), 0);
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
    return call.done(owner_->cloneGroup(*group_, daTextFromClient(szName), riid, ppUnk));
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

// ---- IOPCPublicGroupStateMgt -------------------------------------------------------

STDMETHODIMP DaOpcGroup::GetState(BOOL* pPublic)
{
    DaOpcCall call("IOPCPublicGroupStateMgt::GetState", traceId_.c_str());
    if (!pPublic)
        return call.done(E_INVALIDARG);
    *pPublic = FALSE;
    return call.done(isRemoved() ? E_FAIL : S_OK);
}

// The public-group container keeps templates only and takes no client's group.
STDMETHODIMP DaOpcGroup::MoveToPublic()
{
    DaOpcCall call("IOPCPublicGroupStateMgt::MoveToPublic", traceId_.c_str());
    return call.done(E_FAIL);
}

// ---- The item-array frame ----------------------------------------------------------

template <class Run>
HRESULT DaOpcGroup::itemCall(const char* method, bool argumentsOk, DWORD count, HRESULT** ppErrors, Run&& run)
{
    DaOpcCall call(method, traceId_.c_str());
    daNullOutputs(ppErrors);
    if (!argumentsOk || count == 0 || !ppErrors)
        return call.done(E_INVALIDARG);
    if (isRemoved())
        return call.done(E_FAIL);
    DaOpcOut<HRESULT> out;
    if (!out.allocate(count))
        return call.done(E_OUTOFMEMORY);
    std::vector<HRESULT> errors;
    HRESULT hr = run(errors);
    if (FAILED(hr))
        return call.done(hr);
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        out[i] = i < errors.size() ? errors[i] : E_FAIL;
        anyFailed = anyFailed || FAILED(out[i]);
    }
    *ppErrors = out.release();
    return call.done(anyFailed ? S_FALSE : S_OK);
}

template <class Run>
HRESULT DaOpcGroup::asyncItemCall(const char* method, bool argumentsOk, DWORD count, DWORD* pdwCancelID,
                                  HRESULT** ppErrors, Run&& run)
{
    if (pdwCancelID)
        *pdwCancelID = 0;
    return itemCall(method, argumentsOk && pdwCancelID, count, ppErrors, [&](std::vector<HRESULT>& errors) {
        uint32_t cancelId = 0;
        // The engine answers CONNECT_E_NOCONNECTION without a callback sink.
        HRESULT hr = run(cancelId, errors);
        if (SUCCEEDED(hr))
            *pdwCancelID = cancelId;
        return hr;
    });
}

namespace {

// The engine's item results to the client's array (AddItems, ValidateItems).
HRESULT itemResultsToClient(const std::vector<DaItemResult>& results, DWORD count, OPCITEMRESULT** ppResults)
{
    DaOpcOut<OPCITEMRESULT> out;
    if (!out.allocate(count))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count && i < results.size(); ++i) {
        out[i].hServer = results[i].serverHandle;
        out[i].vtCanonicalDataType = results[i].canonicalType;
        out[i].dwAccessRights = results[i].accessRights;
    }
    *ppResults = out.release();
    return S_OK;
}

}  // namespace

// ---- IOPCItemMgt --------------------------------------------------------------------

STDMETHODIMP DaOpcGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                  HRESULT** ppErrors)
{
    daNullOutputs(ppAddResults);
    return itemCall("IOPCItemMgt::AddItems", pItemArray && ppAddResults, dwCount, ppErrors, [&](auto& errors) {
        std::vector<DaItemResult> results;
        HRESULT hr = group_->addItems(itemDefs(pItemArray, dwCount), results, errors);
        return FAILED(hr) ? hr : itemResultsToClient(results, dwCount, ppAddResults);
    });
}

STDMETHODIMP DaOpcGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                                       HRESULT** ppErrors)
{
    daNullOutputs(ppValidationResults);
    return itemCall("IOPCItemMgt::ValidateItems", pItemArray && ppValidationResults, dwCount, ppErrors,
                    [&](auto& errors) {
                        std::vector<DaItemResult> results;
                        HRESULT hr = group_->validateItems(itemDefs(pItemArray, dwCount), results, errors);
                        return FAILED(hr) ? hr : itemResultsToClient(results, dwCount, ppValidationResults);
                    });
}

STDMETHODIMP DaOpcGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return itemCall("IOPCItemMgt::RemoveItems", phServer, dwCount, ppErrors,
                    [&](auto& errors) { return group_->removeItems(handleSpan(phServer, dwCount), errors); });
}

STDMETHODIMP DaOpcGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    return itemCall("IOPCItemMgt::SetActiveState", phServer, dwCount, ppErrors, [&](auto& errors) {
        return group_->setItemsActive(handleSpan(phServer, dwCount), bActive != FALSE, errors);
    });
}

// Runs `apply` on each item named by a handle; unknown handles get OPC_E_INVALIDHANDLE.
template <class Apply>
static HRESULT eachItem(DaGroup& group, const OPCHANDLE* handles, DWORD count, std::vector<HRESULT>& errors,
                        Apply&& apply)
{
    errors.assign(count, S_OK);
    for (DWORD i = 0; i < count; ++i) {
        DaRef<DaItem> item = group.findItem(handles[i]);
        errors[i] = item ? apply(*item, i) : OPC_E_INVALIDHANDLE;
    }
    return S_OK;
}

STDMETHODIMP DaOpcGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                          HRESULT** ppErrors)
{
    return itemCall("IOPCItemMgt::SetClientHandles", phServer && phClient, dwCount, ppErrors, [&](auto& errors) {
        return eachItem(*group_, phServer, dwCount, errors, [&](DaItem& item, DWORD i) {
            item.setClientHandle(phClient[i]);
            return S_OK;
        });
    });
}

STDMETHODIMP DaOpcGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                      HRESULT** ppErrors)
{
    return itemCall("IOPCItemMgt::SetDatatypes", phServer && pRequestedDatatypes, dwCount, ppErrors,
                    [&](auto& errors) {
                        return eachItem(*group_, phServer, dwCount, errors, [&](DaItem& item, DWORD i) {
                            return item.setRequestedDatatype(pRequestedDatatypes[i]);
                        });
                    });
}

// ---- IOPCSyncIO, IOPCSyncIO2 --------------------------------------------------------

STDMETHODIMP DaOpcGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                              OPCITEMSTATE** ppItemValues, HRESULT** ppErrors)
{
    daNullOutputs(ppItemValues);
    return itemCall("IOPCSyncIO::Read", daIsDataSource(dwSource) && phServer && ppItemValues, dwCount, ppErrors,
                    [&](auto& errors) {
                        std::vector<DaReadResult> results;
                        HRESULT hr = group_->syncRead(dwSource == kDaSourceDevice, handleSpan(phServer, dwCount),
                                                      results, errors);
                        if (FAILED(hr))
                            return hr;
                        DaOpcOut<OPCITEMSTATE> states;
                        if (!states.allocate(dwCount))
                            return E_OUTOFMEMORY;
                        for (DWORD i = 0; i < dwCount; ++i) {
                            if (DaRef<DaItem> item = group_->findItem(phServer[i]))
                                states[i].hClient = item->clientHandle();
                            if (i < results.size() && i < errors.size() && SUCCEEDED(errors[i])) {
                                results[i].value.detachTo(states[i].vDataValue);
                                states[i].wQuality = results[i].quality;
                                states[i].ftTimeStamp = results[i].timestamp;
                            }
                        }
                        *ppItemValues = states.release();
                        return S_OK;
                    });
}

STDMETHODIMP DaOpcGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors)
{
    return itemCall("IOPCSyncIO::Write", phServer && pItemValues, dwCount, ppErrors, [&](auto& errors) {
        return group_->syncWrite(handleSpan(phServer, dwCount), {pItemValues, dwCount}, errors);
    });
}

STDMETHODIMP DaOpcGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                    WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors)
{
    daNullOutputs(ppvValues, ppwQualities, ppftTimeStamps);
    return itemCall("IOPCSyncIO2::ReadMaxAge", phServer && pdwMaxAge && ppvValues && ppwQualities && ppftTimeStamps,
                    dwCount, ppErrors, [&](auto& errors) {
                        std::vector<DaReadResult> results;
                        HRESULT hr = group_->syncRead(false, handleSpan(phServer, dwCount), results, errors,
                                                      handleSpan(pdwMaxAge, dwCount));
                        return FAILED(hr) ? hr
                                          : daReadResultsToClient(results, errors, dwCount, ppvValues, ppwQualities,
                                                                  ppftTimeStamps);
                    });
}

STDMETHODIMP DaOpcGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors)
{
    return itemCall("IOPCSyncIO2::WriteVQT", phServer && pItemVQT, dwCount, ppErrors, [&](auto& errors) {
        std::vector<VARIANT> values;
        std::vector<DaWriteQT> qts;
        daVqtsFromClient(pItemVQT, dwCount, values, qts);
        return group_->syncWrite(handleSpan(phServer, dwCount), values, errors, qts);
    });
}

// ---- IOPCAsyncIO2, IOPCAsyncIO3 -----------------------------------------------------

STDMETHODIMP DaOpcGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                              HRESULT** ppErrors)
{
    return asyncItemCall("IOPCAsyncIO2::Read", phServer, dwCount, pdwCancelID, ppErrors,
                         [&](uint32_t& cancelId, auto& errors) {
                             return group_->asyncRead(true, handleSpan(phServer, dwCount), dwTransactionID,
                                                      DaConnectionType::v2, &cancelId, errors);
                         });
}

STDMETHODIMP DaOpcGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                               DWORD* pdwCancelID, HRESULT** ppErrors)
{
    return asyncItemCall("IOPCAsyncIO2::Write", phServer && pItemValues, dwCount, pdwCancelID, ppErrors,
                         [&](uint32_t& cancelId, auto& errors) {
                             return group_->asyncWrite(handleSpan(phServer, dwCount), {pItemValues, dwCount},
                                                       dwTransactionID, DaConnectionType::v2, &cancelId, errors);
                         });
}

STDMETHODIMP DaOpcGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                                    DWORD* pdwCancelID, HRESULT** ppErrors)
{
    return asyncItemCall("IOPCAsyncIO3::ReadMaxAge", phServer && pdwMaxAge, dwCount, pdwCancelID, ppErrors,
                         [&](uint32_t& cancelId, auto& errors) {
                             return group_->asyncRead(false, handleSpan(phServer, dwCount), dwTransactionID,
                                                      DaConnectionType::v2, &cancelId, errors,
                                                      handleSpan(pdwMaxAge, dwCount));
                         });
}

STDMETHODIMP DaOpcGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                                  DWORD* pdwCancelID, HRESULT** ppErrors)
{
    return asyncItemCall("IOPCAsyncIO3::WriteVQT", phServer && pItemVQT, dwCount, pdwCancelID, ppErrors,
                         [&](uint32_t& cancelId, auto& errors) {
                             std::vector<VARIANT> values;
                             std::vector<DaWriteQT> qts;
                             daVqtsFromClient(pItemVQT, dwCount, values, qts);
                             return group_->asyncWrite(handleSpan(phServer, dwCount), values, dwTransactionID,
                                                       DaConnectionType::v2, &cancelId, errors, qts);
                         });
}

HRESULT DaOpcGroup::refreshCall(const char* method, bool sourceOk, bool connected, bool fromDevice,
                                std::optional<uint32_t> maxAgeMs, DaConnectionType connection,
                                DWORD dwTransactionID, DWORD* pdwCancelID)
{
    DaOpcCall call(method, traceId_.c_str());
    if (!sourceOk || !pdwCancelID)
        return call.done(E_INVALIDARG);
    *pdwCancelID = 0;
    if (isRemoved())
        return call.done(E_FAIL);
    if (!connected)
        return call.done(CONNECT_E_NOCONNECTION);
    if (!group_->isActive()) {
        KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId_.c_str(), "group not active");
        return call.done(E_FAIL);
    }
    uint32_t cancelId = 0;
    HRESULT hr = group_->refresh(fromDevice, dwTransactionID, connection, &cancelId, maxAgeMs);
    if (hr == E_FAIL)
        KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId_.c_str(), "no active item in group");
    if (SUCCEEDED(hr))
        *pdwCancelID = cancelId;
    return call.done(hr);
}

STDMETHODIMP DaOpcGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    return refreshCall("IOPCAsyncIO2::Refresh2", daIsDataSource(dwSource), hasCallback(), dwSource == kDaSourceDevice,
                       std::nullopt, DaConnectionType::v2, dwTransactionID, pdwCancelID);
}

STDMETHODIMP DaOpcGroup::RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    return refreshCall("IOPCAsyncIO3::RefreshMaxAge", true, hasCallback(), false, dwMaxAge, DaConnectionType::v2,
                       dwTransactionID, pdwCancelID);
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
    return itemCall("IOPCItemDeadbandMgt::SetItemDeadband", phServer && pPercentDeadband, dwCount, ppErrors,
                    [&](auto& errors) {
                        return eachItem(*group_, phServer, dwCount, errors, [&](DaItem& item, DWORD i) {
                            return FAILED(daCheckDeadband(&pPercentDeadband[i]))
                                       ? E_INVALIDARG
                                       : item.setItemDeadband(pPercentDeadband[i]);
                        });
                    });
}

STDMETHODIMP DaOpcGroup::GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                         HRESULT** ppErrors)
{
    daNullOutputs(ppPercentDeadband);
    return itemCall("IOPCItemDeadbandMgt::GetItemDeadband", phServer && ppPercentDeadband, dwCount, ppErrors,
                    [&](auto& errors) {
                        DaOpcOut<FLOAT> deadbands;
                        if (!deadbands.allocate(dwCount))
                            return E_OUTOFMEMORY;
                        eachItem(*group_, phServer, dwCount, errors,
                                 [&](DaItem& item, DWORD i) { return item.getItemDeadband(&deadbands[i]); });
                        *ppPercentDeadband = deadbands.release();
                        return S_OK;
                    });
}

STDMETHODIMP DaOpcGroup::ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return itemCall("IOPCItemDeadbandMgt::ClearItemDeadband", phServer, dwCount, ppErrors, [&](auto& errors) {
        return eachItem(*group_, phServer, dwCount, errors, [](DaItem& item, DWORD) { return item.clearItemDeadband(); });
    });
}

// ---- IOPCAsyncIO (DA 1.0) -----------------------------------------------------------

bool DaOpcGroup::hasV1Connection(DWORD key, bool forWrite) const
{
    std::vector<DaConnection> connections;
    group_->getConnections(connections);
    return std::any_of(connections.begin(), connections.end(), [&](const DaConnection& c) {
        return c.key == key && c.kind != DaConnection::Kind::v2 &&
               forWrite == (c.kind == DaConnection::Kind::v1WriteComplete);
    });
}

STDMETHODIMP DaOpcGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                              DWORD* pTransactionID, HRESULT** ppErrors)
{
    return asyncItemCall("IOPCAsyncIO::Read", daIsDataSource(dwSource) && phServer, dwCount, pTransactionID, ppErrors,
                         [&](uint32_t& transactionId, auto& errors) {
                             if (!hasV1Connection(dwConnection, false))
                                 return CONNECT_E_NOCONNECTION;
                             return group_->asyncRead(dwSource == kDaSourceDevice, handleSpan(phServer, dwCount), 0,
                                                      DaConnectionType::v1, &transactionId, errors);
                         });
}

STDMETHODIMP DaOpcGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                               DWORD* pTransactionID, HRESULT** ppErrors)
{
    return asyncItemCall("IOPCAsyncIO::Write", phServer && pItemValues, dwCount, pTransactionID, ppErrors,
                         [&](uint32_t& transactionId, auto& errors) {
                             if (!hasV1Connection(dwConnection, true))
                                 return CONNECT_E_NOCONNECTION;
                             return group_->asyncWrite(handleSpan(phServer, dwCount), {pItemValues, dwCount}, 0,
                                                       DaConnectionType::v1, &transactionId, errors);
                         });
}

STDMETHODIMP DaOpcGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID)
{
    return refreshCall("IOPCAsyncIO::Refresh", daIsDataSource(dwSource), hasV1Connection(dwConnection, false),
                       dwSource == kDaSourceDevice, std::nullopt, DaConnectionType::v1, 0, pTransactionID);
}

STDMETHODIMP DaOpcGroup::Cancel(DWORD dwTransactionID)
{
    DaOpcCall call("IOPCAsyncIO::Cancel", traceId_.c_str());
    if (isRemoved())
        return call.done(E_FAIL);
    return call.done(group_->cancel(dwTransactionID));
}

// ---- IDataObject --------------------------------------------------------------------

// The V1 clients only advise; the data itself travels in the advise sink's stream.
STDMETHODIMP DaOpcGroup::GetData(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
STDMETHODIMP DaOpcGroup::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
STDMETHODIMP DaOpcGroup::QueryGetData(FORMATETC*) { return E_NOTIMPL; }
STDMETHODIMP DaOpcGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* pformatetcOut)
{
    if (pformatetcOut)
        pformatetcOut->ptd = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP DaOpcGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP DaOpcGroup::EnumFormatEtc(DWORD, IEnumFORMATETC** ppenumFormatEtc)
{
    if (ppenumFormatEtc)
        *ppenumFormatEtc = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP DaOpcGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise)
{
    if (ppenumAdvise)
        *ppenumAdvise = nullptr;
    return E_NOTIMPL;
}

// advf is not looked at: the stream is the data, so ADVF_NODATA has nothing to leave
// out, and the first values go out on every new data connection of an active group
// whether or not ADVF_PRIMEFIRST asks for them.
STDMETHODIMP DaOpcGroup::DAdvise(FORMATETC* pformatetc, DWORD, IAdviseSink* pAdvSink, DWORD* pdwConnection)
{
    DaOpcCall call("IDataObject::DAdvise", traceId_.c_str());
    if (pdwConnection)
        *pdwConnection = 0;
    if (!pformatetc || !pAdvSink || !pdwConnection || pformatetc->ptd)
        return call.done(E_INVALIDARG);
    if (pformatetc->dwAspect != DVASPECT_CONTENT)
        return call.done(DV_E_DVASPECT);
    if (pformatetc->tymed != TYMED_HGLOBAL)
        return call.done(DV_E_TYMED);
    if (pformatetc->lindex != -1)
        return call.done(DV_E_LINDEX);
    const DaObjectRoot* root = group_->server() ? group_->server()->root() : nullptr;
    const CLIPFORMAT format = pformatetc->cfFormat;
    DaConnection::Kind kind;
    if (root && format == root->v1DataFormat())
        kind = DaConnection::Kind::v1Data;
    else if (root && format == root->v1DataTimeFormat())
        kind = DaConnection::Kind::v1DataTime;
    else if (root && format == root->v1WriteCompleteFormat())
        kind = DaConnection::Kind::v1WriteComplete;
    else
        return call.done(isRemoved() ? E_FAIL : DV_E_FORMATETC);
    if (isRemoved())
        return call.done(E_FAIL);
    daSetCallbackSecurity(pAdvSink);
    const uint32_t key = group_->adviseStream(pAdvSink, kind, format);
    if (!key)
        return call.done(E_OUTOFMEMORY);
    *pdwConnection = key;
    // A new data stream starts with the current values of the active items; the
    // group's other V1 connections have them already.
    if (kind != DaConnection::Kind::v1WriteComplete && group_->isActive()) {
        uint32_t transactionId = 0;
        group_->refresh(false, 0, DaConnectionType::v1, &transactionId, std::nullopt, key);
    }
    return call.done(S_OK);
}

STDMETHODIMP DaOpcGroup::DUnadvise(DWORD dwConnection)
{
    DaOpcCall call("IDataObject::DUnadvise", traceId_.c_str());
    if (isRemoved())
        return call.done(E_FAIL);
    if (!hasV1Connection(dwConnection, false) && !hasV1Connection(dwConnection, true))
        return call.done(OLE_E_NOCONNECTION);
    return call.done(group_->unadvise(dwConnection));
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
