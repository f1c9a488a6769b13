#include "da/DaServer.h"

#include <algorithm>
#include <cstdio>

#include "da/DaCreator.h"
#include "da/DaEngineTrace.h"
#include "da/DaNode.h"
#include "da/DaObjectRoot.h"
#include "da/DaStatistics.h"

DaServer::DaServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups)
    : DaObject(kDaCodeServer), root_(root), serverClass_(serverClass), publicGroups_(publicGroups)
{
    supportedLcids_ = {0x800, 0x400, 0, 0x409, 0x407, 0x41D};
    for (LCID lcid : {GetSystemDefaultLCID(), GetUserDefaultLCID()})
        if (std::find(supportedLcids_.begin(), supportedLcids_.end(), lcid) == supportedLcids_.end())
            supportedLcids_.push_back(lcid);
    DaStatistics::process().objectCreated(DaStatistics::serverObj);
}

DaServer::~DaServer()
{
    if (thread_)
        thread_->stop();
    DaStatistics::process().objectDestroyed(DaStatistics::serverObj);
}

std::string DaServer::traceObjectName() const
{
    if (publicGroups_)
        return kPublicGroupsName;
    return clientName();
}

LCID DaServer::lcid() const
{
    TVCmnScopedLock hold(lock_);
    return lcid_;
}

void DaServer::setLCID(LCID lcid)
{
    TVCmnScopedLock hold(lock_);
    lcid_ = lcid;
}

std::string DaServer::clientName() const
{
    TVCmnScopedLock hold(lock_);
    return clientName_;
}

void DaServer::setClientName(const std::string& name)
{
    TVCmnScopedLock hold(lock_);
    clientName_ = name;
}

void DaServer::setTimeouts(uint32_t readMs, uint32_t writeMs)
{
    readTimeoutMs_.store(readMs, std::memory_order_relaxed);
    writeTimeoutMs_.store(writeMs, std::memory_order_relaxed);
}

bool DaServer::isLCIDSupported(LCID lcid) const
{
    return std::find(supportedLcids_.begin(), supportedLcids_.end(), lcid) != supportedLcids_.end();
}

HRESULT DaServer::resolveItemID(const std::string& itemId, DaRef<DaTag>& tag) const
{
    DaRef<DaNamespaceRoot> space = root_ ? root_->namespaceRoot(serverClass_) : nullptr;
    DaLookupResult found;
    const HRESULT hr = daLookupItem(space.get(), itemId, kDaDefaultPropertyDelimiter, found);
    if (FAILED(hr)) {
        if (!found.errorTrace.empty())
            DA_TRACE(kDaTraceError, this, "%s", found.errorTrace.c_str());
        return hr;
    }
    if (found.propertyId != 0 || !found.tag)
        return OPC_E_UNKNOWNITEMID;  // items on properties are not offered
    tag = found.tag;
    return S_OK;
}

HRESULT DaServer::addGroup(const DaGroupParams& params, DaRef<DaGroup>& group, uint32_t* revisedRateMs)
{
    if (!params.name.empty() && FAILED(DaNode::checkName(params.name, nullptr))) {
        DA_TRACE(kDaTraceError, this, "can't add group; no valid name %s", params.name.c_str());
        return E_INVALIDARG;
    }
    if (!params.name.empty() && findGroupByName(params.name)) {
        DA_TRACE(kDaTraceError, this, "can't add group; no unique name %s", params.name.c_str());
        return OPC_E_DUPLICATENAME;
    }
    if (!isLCIDSupported(params.lcid)) {
        DA_TRACE(kDaTraceError, this, "can't add group; no supported LCID 0x%lX", (unsigned long)params.lcid);
        return E_INVALIDARG;
    }
    DaRef<DaGroup> made;
    try {
        made = root_ && root_->creator() ? root_->creator()->createGroup(this)
                                         : DaRef<DaGroup>(new DaGroup(this));
        if (!made)
            return E_OUTOFMEMORY;
        std::string name = params.name;
        if (name.empty()) {
            char text[16];
            std::snprintf(text, sizeof text, "GRP%8.8lX", (unsigned long)made->serverHandle());
            name = text;
        }
        {
            TVCmnScopedLock hold(lock_);
            // Checked again under the lock: another client thread may have taken it.
            for (const DaRef<DaGroup>& other : groups_)
                if (other->name() == name)
                    return OPC_E_DUPLICATENAME;
            {
                TVCmnScopedLock holdGroup(made->lock_);
                made->name_ = name;
            }
            groups_.push_back(made);
            transactions_.emplace_back(made->cyclicTransaction());
            ++transactionsVersion_;
        }
        made->setActive(params.active);
        uint32_t revised = 0;
        made->setUpdateRate(params.requestedUpdateRateMs, &revised);
        made->setClientHandle(params.clientHandle);
        if (params.timeBias)
            made->setTimeBias(*params.timeBias);
        if (params.deadband)
            made->setDeadband(*params.deadband);
        made->setLCID(params.lcid);
        if (revisedRateMs)
            *revisedRateMs = revised;
        group = made;
        return revised != params.requestedUpdateRateMs ? OPC_S_UNSUPPORTEDRATE : S_OK;
    } catch (const std::exception&) {
        if (made)
            removeGroup(made->serverHandle(), true);
        return E_OUTOFMEMORY;
    }
}

HRESULT DaServer::removeGroup(uint32_t serverHandle, bool removePublic)
{
    try {
        DaRef<DaGroup> group = findGroupByHandle(serverHandle);
        if (!group) {
            DA_TRACE(kDaTraceError, this, "can't remove group; no group with handle 0x%lX", (unsigned long)serverHandle);
            return E_INVALIDARG;
        }
        (void)removePublic;  // public groups are not offered: no group belongs to one
        group->removeAllItems();
        group->markRemoved();
        std::vector<DaRef<DaTransaction>> transactions;
        collectTransactions(group.get(), transactions);
        for (const DaRef<DaTransaction>& transaction : transactions)
            transaction->detach();
        group->cyclicTransaction()->detach();
        {
            TVCmnScopedLock hold(lock_);
            std::erase_if(transactions_, [&](const DaRef<DaTransaction>& t) { return t.get() == group->cyclicTransaction(); });
            ++transactionsVersion_;
            std::erase(groups_, group);
        }
        group->server_.store(nullptr, std::memory_order_release);
        group->dropConnections();
        // The caller's reference and this function's own: more means someone still uses it.
        return group->refCount() > 2 ? OPC_S_INUSE : S_OK;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

DaRef<DaGroup> DaServer::findGroupByHandle(uint32_t serverHandle) const
{
    TVCmnScopedLock hold(lock_);
    for (const DaRef<DaGroup>& group : groups_)
        if (group->serverHandle() == serverHandle)
            return group;
    return nullptr;
}

DaRef<DaGroup> DaServer::findGroupByName(const std::string& name) const
{
    TVCmnScopedLock hold(lock_);
    for (const DaRef<DaGroup>& group : groups_)
        if (group->name() == name)
            return group;
    return nullptr;
}

void DaServer::getGroups(std::vector<DaRef<DaGroup>>& groups) const
{
    TVCmnScopedLock hold(lock_);
    groups = groups_;
}

size_t DaServer::groupCount() const
{
    TVCmnScopedLock hold(lock_);
    return groups_.size();
}

HRESULT DaServer::renameGroup(DaGroup* group, const std::string& name)
{
    if (!group || FAILED(DaNode::checkName(name, nullptr)))
        return E_INVALIDARG;
    TVCmnScopedLock hold(lock_);
    if (std::find(groups_.begin(), groups_.end(), DaRef<DaGroup>(group)) == groups_.end())
        return E_FAIL;
    for (const DaRef<DaGroup>& other : groups_)
        if (other.get() != group && other->name() == name)
            return OPC_E_DUPLICATENAME;
    TVCmnScopedLock holdGroup(group->lock_);
    group->name_ = name;
    return S_OK;
}

void DaServer::addTransaction(DaTransaction* transaction)
{
    if (publicGroups_ || !transaction)
        return;
    {
        TVCmnScopedLock hold(lock_);
        transactions_.emplace_back(transaction);
        ++transactionsVersion_;
    }
    DA_TRACE(kDaTraceDebug, this, "added transaction %s", transaction->traceName().c_str());
    signalWork();
}

void DaServer::removeTransaction(DaTransaction* transaction)
{
    DaRef<DaTransaction> removed;  // released outside the lock
    {
        TVCmnScopedLock hold(lock_);
        auto it = std::find_if(transactions_.begin(), transactions_.end(),
                               [transaction](const DaRef<DaTransaction>& t) { return t.get() == transaction; });
        if (it != transactions_.end()) {
            removed = std::move(*it);
            transactions_.erase(it);
            ++transactionsVersion_;
        }
    }
    if (removed)
        DA_TRACE(kDaTraceDebug, this, "removed transaction %s", transaction->traceName().c_str());
    else
        DA_TRACE(kDaTraceDebug, this, "< removeTransaction; transaction not found");
}

size_t DaServer::transactionCount() const
{
    TVCmnScopedLock hold(lock_);
    return transactions_.size();
}

void DaServer::collectTransactions(const DaGroup* group, std::vector<DaRef<DaTransaction>>& transactions) const
{
    TVCmnScopedLock hold(lock_);
    for (const DaRef<DaTransaction>& transaction : transactions_)
        if (transaction->group() == group)
            transactions.push_back(transaction);
}

uint32_t DaServer::work(uint32_t tick)
{
    uint32_t wait = startCyclicTransactions(tick, kDaNoTimeout);
    wait = updateTransactions(tick, wait);
    return sendKeepAlives(DaClock::now(), tick, wait);
}

uint32_t DaServer::startCyclicTransactions(uint32_t tick, uint32_t wait)
{
    std::vector<DaRef<DaGroup>> groups;
    getGroups(groups);
    for (const DaRef<DaGroup>& group : groups) {
        uint32_t groupWait = kDaNoTimeout;
        if (group->isCycleDue(tick, &groupWait)) {
            DaTransaction* cyclic = group->cyclicTransaction();
            DA_TRACE(kDaTraceDebug, this, "start cyclic transaction %s", cyclic->traceName().c_str());
            cyclic->start(this);
            cycleStarts_.fetch_add(1, std::memory_order_relaxed);
        }
        wait = std::min(wait, groupWait);
    }
    return wait;
}

uint32_t DaServer::updateTransactions(uint32_t tick, uint32_t wait)
{
    std::vector<DaRef<DaTransaction>> transactions;
    std::vector<DaRef<DaGroup>> groups;
    {
        TVCmnScopedLock hold(lock_);
        transactions = transactions_;
        // A cyclic transaction only points at its group; the group is held here for
        // the pass, taken while the server still holds it.
        groups = groups_;
    }
    for (const DaRef<DaTransaction>& transaction : transactions) {
        const uint32_t timeout = transaction->isWrite() ? writeTimeoutMs() : readTimeoutMs();
        uint32_t transactionWait = kDaNoTimeout;
        if (transaction->update(this, tick, timeout, &transactionWait)) {
            DA_TRACE(kDaTraceDebug, this, "completed transaction %s", transaction->traceName().c_str());
            if (!transaction->isCyclic() && !transaction->isSynchronous())
                removeTransaction(transaction.get());
        }
        wait = std::min(wait, transactionWait);
    }
    return wait;
}

uint32_t DaServer::sendKeepAlives(uint64_t now, uint32_t tick, uint32_t wait)
{
    (void)tick;
    std::vector<DaRef<DaGroup>> groups;
    getGroups(groups);
    for (const DaRef<DaGroup>& group : groups) {
        const uint32_t keepAlive = group->keepAlive();
        if (keepAlive == 0 || !group->isActive())
            continue;
        DaTransaction* cyclic = group->cyclicTransaction();
        const uint64_t last = cyclic->lastSendTime();
        const uint64_t ageMs = now > last ? (now - last) / kDaFileTimeUnitsPerMs : 0;
        if (ageMs < keepAlive) {
            wait = std::min(wait, uint32_t(keepAlive - ageMs));
            continue;
        }
        DA_TRACE(kDaTraceDebug, this, "send keep alive %s", cyclic->traceName().c_str());
        cyclic->sendKeepAlive(this);
        wait = std::min(wait, keepAlive);
    }
    return wait;
}

bool DaServer::startWorkThread()
{
    if (thread_ || publicGroups_)
        return false;
    thread_ = std::make_unique<TVCmnThread>("DaServer work", [this](TVCmnThread& thread) { workThread(thread); });
    return thread_->start();
}

void DaServer::workThread(TVCmnThread& thread)
{
    DA_TRACE(kDaTraceInfo, this, "started work thread");
    uint32_t next = kTickNever;
    for (;;) {
        if (TVCmnEvent::waitForAny({&thread.stopEvent(), &workEvent_}, next) == 0) {
            DA_TRACE(kDaTraceInfo, this, "terminate work thread");
            return;
        }
        passes_.fetch_add(1, std::memory_order_relaxed);
        DA_TRACE(kDaTraceDebug, this, "loop >>>");
        const uint32_t start = DaClock::tick();
        try {
            next = work(start);
        } catch (const std::exception& e) {
            // One bad pass must not end the thread the client's subscriptions live on.
            TVCmnThread::reportException(thread.name().c_str(), e.what());
            next = 0;
        }
        uint32_t needed = 0;
        if (next > kTickNever) {
            next = kTickNever;
        } else {
            needed = TVCmnTick::elapsed(start, DaClock::tick());
            next = next > needed ? next - needed : 0;
        }
        DA_TRACE(kDaTraceDebug, this, "loop next:%lu needed:%lu <<<", (unsigned long)next, (unsigned long)needed);
    }
}

void DaServer::shutdown()
{
    if (thread_)
        thread_->stop();
    std::vector<DaRef<DaGroup>> groups;
    getGroups(groups);
    for (const DaRef<DaGroup>& group : groups)
        removeGroup(group->serverHandle(), true);
    std::vector<DaRef<DaTransaction>> transactions;
    {
        TVCmnScopedLock hold(lock_);
        transactions.swap(transactions_);
        ++transactionsVersion_;
    }
    for (const DaRef<DaTransaction>& transaction : transactions)
        transaction->detach();
}

bool DaServer::noteCallResult(HRESULT hr)
{
    if (!daIsDeadClientCode(hr))
        return false;
    markClientDead();
    return true;
}

void DaServer::disconnectClient()
{
    if (disconnected_.exchange(true, std::memory_order_acq_rel))
        return;
    DA_TRACE(kDaTraceError, this, "disconnect client %s", clientName().c_str());
    std::vector<DaRef<DaGroup>> groups;
    getGroups(groups);
    for (const DaRef<DaGroup>& group : groups) {
        DA_TRACE(kDaTraceInfo, group, "disconnecting refCnt:%u intRefCnt:%u", unsigned(group->refCount()), 1u);
        group->dropConnections();
    }
    onClientDisconnected();
}
