#include "opc/DaOpcServer.h"

#include <olectl.h>

#include <algorithm>
#include <new>
#include <vector>

#include "common/TVCmnString.h"
#include "da/DaObjectRoot.h"
#include "da/DaStandardProperties.h"
#include "opc/DaEntry.h"
#include "opc/DaErrorText.h"
#include "opc/DaLocale.h"
#include "opc/DaOpcCall.h"
#include "opc/DaOpcGroup.h"
#include "trace/TVCmnTrace.h"

namespace {

// The server class of the address space that OPC DA clients see.
constexpr uint32_t kDaServerClass = 0;
constexpr DWORD kUnknownBandwidth = 0xFFFFFFFF;

std::wstring wide(const std::string& text) { return TVCmnString::ansiToWide(text); }

}  // namespace

DaOpcServer* DaOpcServer::create()
{
    DaObjectRoot* root = DaEntry::instance().objectRoot();
    if (!root)
        return nullptr;
    DaRef<DaServer> server = root->createServer(kDaServerClass);
    if (!server)
        return nullptr;
    auto* made = new (std::nothrow) DaOpcServer(server);
    if (!made)
        root->removeServer(server.get());
    return made;
}

DaOpcServer::DaOpcServer(DaRef<DaServer> server)
    : server_(std::move(server)),
      browse_(DaEntry::instance().objectRoot()->namespaceRoot(kDaServerClass))
{
    traceId_ = daObjectTraceId("srv", this, server_->traceObjectName());
    // Made in the creating client's call: the runtime knows the caller's process for a
    // local connection. Another caller (an activation service) does not end, so a wrong
    // process only means no early finding.
    unsigned long pid = 0;
    if (I_RpcBindingInqLocalClientPID(nullptr, &pid) == RPC_S_OK && pid && pid != GetCurrentProcessId())
        clientProcess_.reset(OpenProcess(SYNCHRONIZE, FALSE, pid));
    KV_TRACE(kTraceInfo, kTraceGroupOpa, traceId(), "client process %lu%s", pid, clientProcess_ ? "" : " (not watched)");
    DaEntry::instance().lockServer();
    DaEntry::instance().addServerObject(this);
}

DaOpcServer::~DaOpcServer()
{
    DaEntry::instance().removeServerObject(this);
    if (DaObjectRoot* root = DaEntry::instance().objectRoot())
        root->removeServer(server_.get());
    DaEntry::instance().unlockServer();
}

STDMETHODIMP DaOpcServer::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer)
        *ppv = static_cast<IOPCServer*>(this);
    else if (riid == IID_IOPCCommon)
        *ppv = static_cast<IOPCCommon*>(this);
    else if (riid == IID_IOPCBrowseServerAddressSpace)
        *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else if (riid == IID_IOPCItemProperties)
        *ppv = static_cast<IOPCItemProperties*>(this);
    else if (riid == IID_IOPCBrowse)
        *ppv = static_cast<IOPCBrowse*>(this);
    else if (riid == IID_IOPCItemIO)
        *ppv = static_cast<IOPCItemIO*>(this);
    else if (riid == IID_IOPCServerPublicGroups)
        *ppv = static_cast<IOPCServerPublicGroups*>(this);
    else if (riid == IID_IOPCSecurityPrivate)
        *ppv = static_cast<IOPCSecurityPrivate*>(this);
    else if (riid == IID_IPersistFile || riid == IID_IPersist)
        *ppv = static_cast<IPersistFile*>(this);
    else if (riid == IID_IKestrovaOPCWatch)
        *ppv = static_cast<IKestrovaOPCWatch*>(this);
    else if (riid == IID_IKestrovaOPCTrace)
        *ppv = static_cast<IKestrovaOPCTrace*>(this);
    else if (riid == IID_IConnectionPointContainer)
        *ppv = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) DaOpcServer::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) DaOpcServer::Release()
{
    ULONG refs = --refs_;
    if (refs == 0)
        delete this;
    return refs;
}

bool DaOpcServer::tryAddRef()
{
    ULONG refs = refs_.load();
    while (refs != 0)
        if (refs_.compare_exchange_weak(refs, refs + 1))
            return true;
    return false;
}

// ---- IOPCServer ---------------------------------------------------------------------

STDMETHODIMP DaOpcServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                   OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                   DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                   REFIID riid, LPUNKNOWN* ppUnk)
{
    DaOpcCall call("IOPCServer::AddGroup", traceId());
    if (ppUnk)
        *ppUnk = nullptr;
    if (phServerGroup)
        *phServerGroup = 0;
    if (!phServerGroup || !ppUnk || FAILED(daCheckDeadband(pPercentDeadband)))
        return call.done(E_INVALIDARG);

    DaGroupParams params;
    params.name = daTextFromClient(szName);
    params.active = bActive != FALSE;
    params.requestedUpdateRateMs = dwRequestedUpdateRate;
    params.clientHandle = hClientGroup;
    params.timeBias = pTimeBias;
    params.deadband = pPercentDeadband;
    params.lcid = dwLCID;
    DaRef<DaGroup> group;
    uint32_t revisedMs = 0;
    HRESULT result = server_->addGroup(params, group, &revisedMs);
    if (FAILED(result))
        return call.done(result);
    if (pRevisedUpdateRate)
        *pRevisedUpdateRate = revisedMs;
    HRESULT hr = handOutNewGroup(group, riid, ppUnk);
    if (FAILED(hr))
        return call.done(hr);
    *phServerGroup = group->serverHandle();
    return call.done(result);
}

HRESULT DaOpcServer::handOutNewGroup(const DaRef<DaGroup>& group, REFIID riid, LPUNKNOWN* ppUnk)
{
    DaOpcGroup* object = groupObject(group);
    if (!object) {
        server_->removeGroup(group->serverHandle());
        return E_OUTOFMEMORY;
    }
    HRESULT qi = object->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    object->Release();
    if (FAILED(qi)) {
        KV_TRACE(kTraceError, kTraceGroupOpc, traceId(), "can't QueryInterface of created group %s",
                 group->name().c_str());
        server_->removeGroup(group->serverHandle());
    } else if (DaWatch* watch = existingWatch()) {
        watch->objectAdded(*server_, *group);
    }
    return qi;
}

HRESULT DaOpcServer::cloneGroup(const DaGroup& source, const std::string& name, REFIID riid, LPUNKNOWN* ppUnk)
{
    const LONG timeBias = source.timeBias();
    const float deadband = source.deadband();
    DaGroupParams params;
    params.name = name;
    params.active = false;  // a clone starts inactive, so that the client sets it up first
    params.requestedUpdateRateMs = source.updateRate();
    params.clientHandle = source.clientHandle();
    params.timeBias = &timeBias;
    params.deadband = &deadband;
    params.lcid = source.lcid();
    DaRef<DaGroup> clone;
    uint32_t revisedMs = 0;
    HRESULT hr = server_->addGroup(params, clone, &revisedMs);
    if (FAILED(hr))
        return hr;
    std::vector<DaRef<DaItem>> items;
    source.getItems(items);
    for (const DaRef<DaItem>& item : items) {
        DaItemDef def{item->itemId(), item->accessPath(), item->requestedDatatype(), item->isActive(),
                      item->clientHandle()};
        DaItemResult result;
        DaRef<DaItem> copy;
        hr = clone->addItem(def, result, &copy);
        if (FAILED(hr)) {
            server_->removeGroup(clone->serverHandle());
            return hr;
        }
        if (item->itemDeadband() != kDaNoItemDeadband)
            copy->setItemDeadband(item->itemDeadband());
    }
    return handOutNewGroup(clone, riid, ppUnk);
}

STDMETHODIMP DaOpcServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString)
{
    DaOpcCall call("IOPCServer::GetErrorString", traceId());
    if (ppString)
        *ppString = nullptr;
    if (!ppString || !daLocaleSupported(dwLocale))
        return call.done(E_INVALIDARG);
    return call.done(daErrorStringForClient(dwError, dwLocale, ppString));
}

STDMETHODIMP DaOpcServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk)
{
    DaOpcCall call("IOPCServer::GetGroupByName", traceId());
    if (ppUnk)
        *ppUnk = nullptr;
    if (!ppUnk || !szName)
        return call.done(E_INVALIDARG);
    DaRef<DaGroup> group = server_->findGroupByName(daTextFromClient(szName));
    if (!group)
        return call.done(E_INVALIDARG);
    DaOpcGroup* object = groupObject(group);
    if (!object)
        return call.done(E_OUTOFMEMORY);
    HRESULT hr = object->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    object->Release();
    return call.done(hr);
}

STDMETHODIMP DaOpcServer::GetStatus(OPCSERVERSTATUS** ppServerStatus)
{
    DaOpcCall call("IOPCServer::GetStatus", traceId());
    if (!ppServerStatus)
        return call.done(E_INVALIDARG);
    *ppServerStatus = nullptr;
    DaOpcOut<OPCSERVERSTATUS> status;
    if (!status.allocate(1))
        return call.done(E_OUTOFMEMORY);
    const DaEntry& entry = DaEntry::instance();
    const DaEntryIdentity& identity = entry.identity();
    status[0].szVendorInfo = daTaskString(wide(identity.vendor));
    if (!status[0].szVendorInfo)
        return call.done(E_OUTOFMEMORY);
    status[0].ftStartTime = entry.startTime();
    GetSystemTimeAsFileTime(&status[0].ftCurrentTime);
    status[0].ftLastUpdateTime = daUintToFileTime(server_->lastUpdateTime());
    status[0].dwServerState = static_cast<OPCSERVERSTATE>(entry.serverState());
    status[0].dwGroupCount = static_cast<DWORD>(server_->groupCount());
    status[0].dwBandWidth = kUnknownBandwidth;
    status[0].wMajorVersion = identity.majorVersion;
    status[0].wMinorVersion = identity.minorVersion;
    status[0].wBuildNumber = identity.buildNumber;
    *ppServerStatus = status.release();
    return call.done(S_OK);
}

STDMETHODIMP DaOpcServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce)
{
    DaOpcCall call("IOPCServer::RemoveGroup", traceId());
    DaRef<DaGroup> group = server_->findGroupByHandle(hServerGroup);
    HRESULT hr = server_->removeGroup(hServerGroup);
    if (FAILED(hr))
        return call.done(hr);
    DaOpcGroup* object = nullptr;
    {
        std::lock_guard<std::mutex> hold(groupsLock_);
        auto it = groups_.find(hServerGroup);
        if (it != groups_.end() && it->second->tryAddRef())
            object = it->second;
    }
    hr = S_OK;
    if (object) {
        if (bForce) {
            // Less the reference taken above: what the client holds.
            KV_TRACE(kTraceDebug, kTraceGroupOpc, traceId(), "force removal of group %s; reference count %lu",
                     group ? group->name().c_str() : "", static_cast<unsigned long>(object->referenceCount() - 1));
            object->disconnectFromClient();
        } else {
            KV_TRACE(kTraceDebug, kTraceGroupOpc, traceId(), "removed group %s in use",
                     group ? group->name().c_str() : "");
            hr = OPC_S_INUSE;
        }
        object->Release();
    }
    return call.done(hr);
}

STDMETHODIMP DaOpcServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk)
{
    DaOpcCall call("IOPCServer::CreateGroupEnumerator", traceId());
    if (!ppUnk)
        return call.done(E_INVALIDARG);
    *ppUnk = nullptr;
    if (riid != IID_IEnumString && riid != IID_IEnumUnknown)
        return call.done(E_NOINTERFACE);
    // This system makes no public groups: the public scopes add nothing, the private
    // ones list every group of the connection.
    std::vector<DaRef<DaGroup>> groups;
    if (dwScope == OPC_ENUM_PRIVATE_CONNECTIONS || dwScope == OPC_ENUM_PRIVATE ||
        dwScope == OPC_ENUM_ALL_CONNECTIONS || dwScope == OPC_ENUM_ALL)
        server_->getGroups(groups);
    HRESULT hr;
    if (riid == IID_IEnumString) {
        std::vector<std::wstring> names;
        for (const auto& group : groups)
            names.push_back(wide(group->name()));
        hr = daCreateStringEnumerator(std::move(names), reinterpret_cast<IEnumString**>(ppUnk));
    } else {
        std::vector<TVCmnComPtr<IUnknown>> objects;
        for (const auto& group : groups) {
            DaOpcGroup* object = groupObject(group);
            if (!object)
                return call.done(E_OUTOFMEMORY);
            objects.emplace_back(static_cast<IOPCItemMgt*>(object));
            object->Release();
        }
        hr = daCreateUnknownEnumerator(std::move(objects), reinterpret_cast<IEnumUnknown**>(ppUnk));
    }
    return call.done(FAILED(hr) ? hr : groups.empty() ? S_FALSE : S_OK);
}

// ---- IOPCCommon ---------------------------------------------------------------------

STDMETHODIMP DaOpcServer::SetLocaleID(LCID dwLcid)
{
    DaOpcCall call("IOPCCommon::SetLocaleID", traceId());
    if (!daLocaleSupported(dwLcid)) {
        KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId(), "can't set locale id to 0x%lX (LCID not supported)",
                 static_cast<unsigned long>(dwLcid));
        return call.done(E_INVALIDARG);
    }
    server_->setLCID(dwLcid);
    if (DaWatch* watch = existingWatch())
        watch->attributeChanged(*server_, "LCID", std::to_string(dwLcid));
    return call.done(S_OK);
}

STDMETHODIMP DaOpcServer::GetLocaleID(LCID* pdwLcid)
{
    DaOpcCall call("IOPCCommon::GetLocaleID", traceId());
    if (!pdwLcid)
        return call.done(E_INVALIDARG);
    *pdwLcid = server_->lcid();
    return call.done(S_OK);
}

STDMETHODIMP DaOpcServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid)
{
    DaOpcCall call("IOPCCommon::QueryAvailableLocaleIDs", traceId());
    return call.done(daQueryAvailableLocaleIds(pdwCount, pdwLcid));
}

STDMETHODIMP DaOpcServer::GetErrorString(HRESULT dwError, LPWSTR* ppString)
{
    DaOpcCall call("IOPCCommon::GetErrorString", traceId());
    return call.done(daErrorStringForClient(dwError, server_->lcid(), ppString));
}

STDMETHODIMP DaOpcServer::SetClientName(LPCWSTR szName)
{
    DaOpcCall call("IOPCCommon::SetClientName", traceId());
    if (!szName)
        return call.done(E_INVALIDARG);
    server_->setClientName(daTextFromClient(szName));
    return call.done(S_OK);
}

// ---- IConnectionPointContainer ------------------------------------------------------

STDMETHODIMP DaOpcServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (ppEnum)
        *ppEnum = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP DaOpcServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_IOPCShutdown)
        return CONNECT_E_NOCONNECTION;
    *ppCP = &shutdownPoint_;
    AddRef();
    return S_OK;
}

// ---- Client checks and disconnection -----------------------------------------------

bool DaOpcServer::isClientAlive()
{
    if (server_->isClientDead())
        return false;  // a call out found it gone: a ping would be one more into a dead process
    if (clientProcess_ && WaitForSingleObject(clientProcess_.get(), 0) == WAIT_OBJECT_0) {
        KV_TRACE(kTraceError, kTraceGroupOpa, traceId(), "client process ended");
        server_->markClientDead();  // as a failed call would: nothing more goes out to it
        return false;
    }
    std::vector<TVCmnComPtr<IUnknown>> sinks;
    if (auto sink = shutdownPoint_.sink())
        sinks.push_back(sink);
    std::vector<DaRef<DaGroup>> groups;
    server_->getGroups(groups);
    for (const auto& group : groups) {
        std::vector<DaConnection> connections;
        group->getConnections(connections);
        for (const auto& connection : connections) {
            if (connection.callback)
                sinks.emplace_back(static_cast<IUnknown*>(connection.callback.get()));
            if (connection.adviseSink)
                sinks.emplace_back(static_cast<IUnknown*>(connection.adviseSink.get()));
        }
    }
    // Groups of one client usually share its sink: one ping per proxy is enough.
    std::sort(sinks.begin(), sinks.end(), [](const auto& a, const auto& b) { return a.get() < b.get(); });
    sinks.erase(std::unique(sinks.begin(), sinks.end(), [](const auto& a, const auto& b) { return a.get() == b.get(); }),
                sinks.end());
    for (const auto& sink : sinks) {
        // A sink never implements IOPCServer: the answer only proves that the client
        // process still responds, and leaves no reference behind.
        // Under Wine a dead client's proxy answers E_NOINTERFACE here; there the failed
        // data callbacks are what find the client dead (onClientDisconnected).
        TVCmnComPtr<IUnknown> none;
        HRESULT hr = sink->QueryInterface(IID_IOPCServer, none.putVoid());
        KV_TRACE(kTraceDebug, kTraceGroupRef, traceId(), "ping client sink [0x%X]", static_cast<unsigned>(hr));
        if (server_->noteCallResult(hr))
            return false;
    }
    return true;
}

void DaOpcServer::shutdownRequest(const char* reason)
{
    TVCmnComPtr<IUnknown> sink = shutdownPoint_.sink();
    if (!sink || server_->isClientDead())
        return;
    KV_TRACE(kTraceInfo, kTraceGroupOpa, traceId(), "call shutdown request; reason:%s", reason ? reason : "");
    std::wstring text = reason ? wide(reason) : std::wstring();
    HRESULT hr = static_cast<IOPCShutdown*>(sink.get())->ShutdownRequest(reason ? text.c_str() : nullptr);
    if (FAILED(hr)) {
        KV_TRACE(kTraceError, kTraceGroupOpa, traceId(), "IOPCShutdown::ShutdownRequest [0x%X]",
                 static_cast<unsigned>(hr));
        if (server_->noteCallResult(hr))
            disconnect();
    }
}

void DaOpcServer::disconnect()
{
    if (disconnecting_.exchange(true))
        return;
    AddRef();  // the cuts below may release what the client held
    KV_TRACE(kTraceWarning, kTraceGroupRef, traceId(), "disconnect client %s", server_->clientName().c_str());
    KV_TRACE(kTraceDebug, kTraceGroupRef, traceId(), "disconnecting refCnt:%u intRefCnt:%u",
             static_cast<unsigned>(refs_.load()), 0u);
    std::vector<DaOpcGroup*> objects;
    {
        std::lock_guard<std::mutex> hold(groupsLock_);
        for (auto& [handle, object] : groups_)
            if (object->tryAddRef())
                objects.push_back(object);
    }
    std::vector<DaRef<DaGroup>> groups;
    server_->getGroups(groups);
    for (const auto& group : groups)
        server_->removeGroup(group->serverHandle());
    // Every object the client reached through a proxy of its own is cut: the groups,
    // their callback points, this object and its shutdown point. COM releases what the
    // stubs hold when no call is inside them any more, so a call the dead client made
    // runs to its end in a live object and nothing is released twice. Nothing is
    // released here by hand: a reference above ours may be a call still running.
    for (DaOpcGroup* object : objects) {
        object->disconnectFromClient();
        object->Release();
    }
    shutdownPoint_.disconnect();
    CoDisconnectObject(static_cast<IOPCServer*>(this), 0);
    Release();
}

DaOpcGroup* DaOpcServer::groupObject(const DaRef<DaGroup>& group)
{
    std::lock_guard<std::mutex> hold(groupsLock_);
    auto it = groups_.find(group->serverHandle());
    if (it != groups_.end() && it->second->tryAddRef())
        return it->second;
    DaOpcGroup* made = DaOpcGroup::create(this, group);
    if (made)
        groups_[group->serverHandle()] = made;
    return made;
}

void DaOpcServer::groupObjectGone(uint32_t serverHandle, DaOpcGroup* group)
{
    std::lock_guard<std::mutex> hold(groupsLock_);
    auto it = groups_.find(serverHandle);
    if (it != groups_.end() && it->second == group)
        groups_.erase(it);
}
