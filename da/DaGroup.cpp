#include "da/DaGroup.h"

#include <algorithm>
#include <cstdio>

#include "common/TVCmnException.h"
#include "da/DaCreator.h"
#include "da/DaEngineTrace.h"
#include "da/DaNode.h"
#include "da/DaObjectRoot.h"
#include "da/DaServer.h"
#include "da/DaStatistics.h"

namespace {
std::atomic<uint32_t> g_nextGroupHandle{1};
std::atomic<uint32_t> g_nextItemHandle{1};

uint32_t nextHandle(std::atomic<uint32_t>& counter)
{
    uint32_t handle = counter.fetch_add(1, std::memory_order_relaxed);
    return handle ? handle : counter.fetch_add(1, std::memory_order_relaxed);  // 0 is no handle
}

DaRef<DaTransaction> makeTransaction(DaServer* server, DaTransactionKind kind, DaConnectionType connection,
                                     DaGroup* group)
{
    DaCreator* creator = server && server->root() ? server->root()->creator() : nullptr;
    if (creator)
        return creator->createTransaction(kind, connection, group);
    return DaRef<DaTransaction>(new (std::nothrow) DaTransaction(kind, connection, group));
}

DaRef<DaRequest> makeRequest(DaServer* server, DaTransaction* transaction, DaRequestKind kind, bool write,
                             DaItem* item)
{
    DaCreator* creator = server && server->root() ? server->root()->creator() : nullptr;
    if (creator)
        return creator->createRequest(transaction, kind, write, item, nullptr);
    return DaRef<DaRequest>(new (std::nothrow) DaRequest(transaction, kind, write, item, nullptr));
}

// CONNECT_E_NOCONNECTION: an asynchronous call on a group without a matching sink.
constexpr HRESULT kNoConnection = (HRESULT)0x80040200;
}  // namespace

HRESULT daCheckWriteValue(DaTag& tag, const VARIANT& value)
{
    // A value the tag's type cannot take is refused before anything starts.
    TVCmnVariant converted;
    const VARTYPE canonical = tag.getDatatype();
    if (canonical != VT_EMPTY && value.vt != canonical &&
        FAILED(DaCache::changeType(value, canonical, converted.put(), kDaEngineLcid)))
        return OPC_E_BADTYPE;
    return S_OK;
}

HRESULT daExecuteAndCollect(DaServer& server, DaTransaction& transaction, uint32_t timeoutMs,
                            const std::vector<DaRef<DaRequest>>& requests, std::vector<HRESULT>& errors,
                            HRESULT answer)
{
    if (transaction.requestCount() == 0)
        return answer;
    transaction.execute(&server, timeoutMs);
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!requests[i])
            continue;
        errors[i] = requests[i]->getResult();
        if (FAILED(errors[i]))
            answer = S_FALSE;
    }
    return answer;
}

bool daSetWriteValue(DaRequest& request, const VARIANT& value, std::span<const DaWriteQT> qts, size_t index,
                     std::vector<HRESULT>& errors, HRESULT& answer)
{
    const DaWriteQT* qt = qts.empty() ? nullptr : &qts[index];
    if (qt && (qt->hasQuality || qt->hasTimestamp) && request.getItemTag() &&
        request.getItemTag()->getRequestHandling(&request) == kDaHandleQueue) {
        errors[index] = OPC_E_NOTSUPPORTED;
        answer = S_FALSE;
        return false;
    }
    request.setWriteValue(value, qt && qt->hasQuality ? &qt->quality : nullptr,
                          qt && qt->hasTimestamp ? &qt->timestamp : nullptr);
    return true;
}

DaGroup::DaGroup(DaServer* server) : DaObject(kDaCodeGroup), server_(server), serverHandle_(nextHandle(g_nextGroupHandle))
{
    cyclic_ = makeTransaction(server, DaTransactionKind::cyclic, DaConnectionType::all, this);
    if (!cyclic_)
        tvCmnThrowOutOfMemory();
    DaStatistics::process().objectCreated(DaStatistics::groupObj);
}

DaGroup::~DaGroup() { DaStatistics::process().objectDestroyed(DaStatistics::groupObj); }

std::string DaGroup::name() const
{
    TVCmnScopedLock hold(lock_);
    return name_;
}

HRESULT DaGroup::setName(const std::string& name)
{
    if (!server())
        return E_FAIL;
    return server()->renameGroup(this, name);
}

#define DA_GROUP_GETTER(type, getter, field) \
    type DaGroup::getter() const             \
    {                                        \
        TVCmnScopedLock hold(lock_);         \
        return field;                        \
    }
DA_GROUP_GETTER(uint32_t, clientHandle, clientHandle_)
DA_GROUP_GETTER(uint32_t, updateRate, updateRateMs_)
DA_GROUP_GETTER(uint32_t, keepAlive, keepAliveMs_)
DA_GROUP_GETTER(LONG, timeBias, timeBias_)
DA_GROUP_GETTER(float, deadband, deadband_)
DA_GROUP_GETTER(LCID, lcid, lcid_)
DA_GROUP_GETTER(bool, isActive, active_)
DA_GROUP_GETTER(bool, isEnabled, enable_)
DA_GROUP_GETTER(bool, isRemoved, removed_)
DA_GROUP_GETTER(bool, isReportOnly, reportOnly_)
DA_GROUP_GETTER(uint32_t, lastCycleTick, lastCycleTick_)
DA_GROUP_GETTER(uint8_t, earlyStartMs, earlyStartMs_)
DA_GROUP_GETTER(uint16_t, earlyStartAccumulator, earlyStartAccumulator_)
#undef DA_GROUP_GETTER

HRESULT DaGroup::setActive(bool active)
{
    onActiveChanged(active);
    std::vector<DaRef<DaItem>> items;
    bool was;
    {
        TVCmnScopedLock hold(lock_);
        was = active_;
        if (!was && active) {
            // The first cycle is due at once.
            const uint32_t tick = DaClock::tick();
            earlyStartAccumulator_ = 0;
            lastCycleTick_ = tick - updateRateMs_;
            if (tick < updateRateMs_)
                --lastCycleTick_;
        }
        active_ = active;
        if (was != active)
            items = items_;
    }
    if (was == active)
        return S_OK;
    for (const DaRef<DaItem>& item : items)
        if (item->isActive()) {
            if (active)
                item->tag()->onItemActivated(item.get());
            else
                item->tag()->onItemDeactivated(item.get());
        }
    if (active && server())
        server()->signalWork();
    return S_OK;
}

HRESULT DaGroup::setUpdateRate(uint32_t requestedMs, uint32_t* revisedMs)
{
    const uint32_t minimum = server() && server()->root() ? server()->root()->minimumUpdateRateMs()
                                                        : kDaDefaultMinimumUpdateRateMs;
    const uint32_t rate = std::min(std::max(requestedMs, minimum), kTickNever);
    bool reportOnly = false;
    if (rate == 0) {
        std::vector<DaRef<DaItem>> items;
        getItems(items);
        reportOnly = std::all_of(items.begin(), items.end(),
                                 [](const DaRef<DaItem>& item) { return item->tag()->getCacheFirst() != 0; });
    }
    onUpdateRateChanged(rate);
    {
        TVCmnScopedLock hold(lock_);
        updateRateMs_ = rate;
        reportOnly_ = reportOnly;
    }
    if (revisedMs)
        *revisedMs = rate;
    if (server())
        server()->signalWork();
    return S_OK;
}

HRESULT DaGroup::setKeepAlive(uint32_t requestedMs, uint32_t* revisedMs)
{
    const uint32_t minimum = server() && server()->root() ? server()->root()->minimumKeepAliveMs()
                                                        : kDaDefaultMinimumKeepAliveMs;
    const uint32_t keepAlive = requestedMs == 0 ? 0 : std::min(std::max(requestedMs, minimum), kTickNever);
    onKeepAliveChanged(keepAlive);
    {
        TVCmnScopedLock hold(lock_);
        keepAliveMs_ = keepAlive;
    }
    if (revisedMs)
        *revisedMs = keepAlive;
    if (server())
        server()->signalWork();
    return S_OK;
}

#define DA_GROUP_SETTER(name, type, field) \
    HRESULT DaGroup::name(type value)      \
    {                                      \
        TVCmnScopedLock hold(lock_);       \
        field = value;                     \
        return S_OK;                       \
    }
DA_GROUP_SETTER(setClientHandle, uint32_t, clientHandle_)
DA_GROUP_SETTER(setTimeBias, LONG, timeBias_)
DA_GROUP_SETTER(setDeadband, float, deadband_)  // the interface layer checks 0..100
DA_GROUP_SETTER(setLCID, LCID, lcid_)
DA_GROUP_SETTER(setEnable, bool, enable_)
#undef DA_GROUP_SETTER

HRESULT DaGroup::validateItem(const std::string& itemId, const std::string& accessPath, VARTYPE requestedType,
                              DaRef<DaTag>& tag, VARTYPE& canonicalType, uint32_t& accessRights)
{
    if (!server())
        return E_FAIL;
    canonicalType = VT_EMPTY;
    accessRights = 0;
    if (itemId.empty())
        return OPC_E_INVALIDITEMID;
    const HRESULT resolved = server()->resolveItemID(itemId, tag);
    if (FAILED(resolved))
        return resolved;
    canonicalType = tag->getDatatype();
    accessRights = tag->getAccessRights();
    if (FAILED(tag->checkRequestedDatatype(requestedType))) {
        DA_TRACE(kDaTraceError, this, "can't validate item; bad requested datatype %u", unsigned(requestedType));
        return OPC_E_BADTYPE;
    }
    // Every access path is accepted: the drives know no paths. An application tag that
    // does would refuse here with OPC_E_UNKNOWNPATH.
    (void)accessPath;
    return S_OK;
}

HRESULT DaGroup::validateItems(std::span<const DaItemDef> defs, std::vector<DaItemResult>& results,
                               std::vector<HRESULT>& errors)
{
    try {
        results.assign(defs.size(), DaItemResult{});
        errors.assign(defs.size(), S_OK);
        HRESULT answer = S_OK;
        for (size_t i = 0; i < defs.size(); ++i) {
            DaRef<DaTag> tag;
            errors[i] = validateItem(defs[i].itemId, defs[i].accessPath, defs[i].requestedType, tag,
                                     results[i].canonicalType, results[i].accessRights);
            if (FAILED(errors[i]))
                answer = S_FALSE;
        }
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

HRESULT DaGroup::addItem(const DaItemDef& def, DaItemResult& result, DaRef<DaItem>* itemOut)
{
    try {
        result = DaItemResult{};
        DaRef<DaTag> tag;
        const HRESULT valid = validateItem(def.itemId, def.accessPath, def.requestedType, tag, result.canonicalType,
                                           result.accessRights);
        if (FAILED(valid))
            return valid;
        DaCreator* creator = server()->root() ? server()->root()->creator() : nullptr;
        DaRef<DaItem> item = creator ? creator->createItem(this) : DaRef<DaItem>(new (std::nothrow) DaItem);
        if (!item)
            return E_OUTOFMEMORY;
        item->group_ = this;
        item->tag_ = tag;
        item->serverHandle_ = nextHandle(g_nextItemHandle);
        item->requestedType_ = def.requestedType;
        item->clientHandle_ = def.clientHandle;
        if (!def.accessPath.empty())
            item->accessPath_ = std::make_unique<std::string>(def.accessPath);
        // The cyclic transaction holds the entry; the item does not (the entry holds the item).
        DaRef<DaRequest> entry = makeRequest(server(), cyclic_.get(), kDaCyclicEntry, false, item.get());
        if (!entry)
            return E_OUTOFMEMORY;
        {
            TVCmnScopedLock hold(lock_);
            if (removed_)
                return E_FAIL;
            items_.push_back(item);
        }
        tag->onItemConnected(item.get());
        cyclic_->addRequest(entry.get());
        if (def.active && FAILED(item->setActive(true))) {
            std::vector<DaRef<DaItem>> removed{item};
            {
                TVCmnScopedLock hold(lock_);
                std::erase(items_, item);
            }
            unpublishItems(removed);
            return E_FAIL;
        }
        result.serverHandle = item->serverHandle_;
        if (itemOut)
            *itemOut = item;
        return S_OK;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

HRESULT DaGroup::addItems(std::span<const DaItemDef> defs, std::vector<DaItemResult>& results,
                          std::vector<HRESULT>& errors)
{
    try {
        results.assign(defs.size(), DaItemResult{});
        errors.assign(defs.size(), S_OK);
        HRESULT answer = S_OK;
        std::vector<DaRef<DaItem>> activated;
        for (size_t i = 0; i < defs.size(); ++i) {
            DaRef<DaItem> item;
            errors[i] = addItem(defs[i], results[i], &item);
            if (FAILED(errors[i]))
                answer = S_FALSE;
            else if (defs[i].active)
                activated.push_back(std::move(item));
        }
        try {
            sendInitialValues(activated);
        } catch (const std::exception&) {
            // The next cycle sends them.
        }
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

DaRef<DaItem> DaGroup::findItem(uint32_t serverHandle) const
{
    TVCmnScopedLock hold(lock_);
    auto it = std::lower_bound(items_.begin(), items_.end(), serverHandle,
                               [](const DaRef<DaItem>& item, uint32_t handle) { return item->serverHandle_ < handle; });
    if (it == items_.end() || (*it)->serverHandle_ != serverHandle)
        return nullptr;
    return *it;
}

void DaGroup::getItems(std::vector<DaRef<DaItem>>& items) const
{
    TVCmnScopedLock hold(lock_);
    items = items_;
}

size_t DaGroup::itemCount() const
{
    TVCmnScopedLock hold(lock_);
    return items_.size();
}

void DaGroup::unpublishItems(std::vector<DaRef<DaItem>>& removed)
{
    const bool groupActive = isActive();
    for (const DaRef<DaItem>& item : removed) {
        bool wasActive;
        {
            DaLockHolder hold(item->lock_);
            wasActive = item->active_;
            item->active_ = false;
            item->removed_ = true;
        }
        if (wasActive && groupActive)
            item->tag()->onItemDeactivated(item.get());
        item->tag()->onItemDisconnected(item.get());
    }
    cyclic_->removeRequestsOfRemovedItems();
    if (!server())
        return;
    // Open requests of this group's other transactions end with the handle gone.
    std::vector<DaRef<DaTransaction>> transactions;
    server()->collectTransactions(this, transactions);
    for (const DaRef<DaTransaction>& transaction : transactions)
        if (transaction.get() != cyclic_.get())
            for (const DaRef<DaItem>& item : removed)
                transaction->completeRequestsOfItem(item.get(), OPC_E_INVALIDHANDLE);
}

HRESULT DaGroup::removeItem(uint32_t serverHandle)
{
    std::vector<HRESULT> errors;
    const HRESULT answer = removeItems(std::span<const uint32_t>(&serverHandle, 1), errors);
    return errors.empty() ? answer : errors[0];
}

HRESULT DaGroup::removeItems(std::span<const uint32_t> serverHandles, std::vector<HRESULT>& errors)
{
    try {
        errors.assign(serverHandles.size(), S_OK);
        std::vector<DaRef<DaItem>> removed;
        HRESULT answer = S_OK;
        {
            TVCmnScopedLock hold(lock_);
            std::vector<bool> going(items_.size(), false);
            for (size_t i = 0; i < serverHandles.size(); ++i) {
                auto it = std::lower_bound(
                    items_.begin(), items_.end(), serverHandles[i],
                    [](const DaRef<DaItem>& item, uint32_t handle) { return item->serverHandle_ < handle; });
                const size_t index = size_t(it - items_.begin());
                if (it == items_.end() || (*it)->serverHandle_ != serverHandles[i] || going[index]) {
                    errors[i] = OPC_E_INVALIDHANDLE;
                    answer = S_FALSE;
                    continue;
                }
                going[index] = true;
            }
            // One pass, so that removing a whole group's worth of items stays linear.
            size_t kept = 0;
            for (size_t index = 0; index < items_.size(); ++index) {
                if (going[index])
                    removed.push_back(std::move(items_[index]));
                else
                    items_[kept++] = std::move(items_[index]);
            }
            items_.resize(kept);
        }
        unpublishItems(removed);
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

void DaGroup::removeAllItems()
{
    std::vector<DaRef<DaItem>> removed;
    {
        TVCmnScopedLock hold(lock_);
        removed.swap(items_);
    }
    unpublishItems(removed);
}

void DaGroup::markRemoved()
{
    TVCmnScopedLock hold(lock_);
    removed_ = true;
    active_ = false;
}

HRESULT DaGroup::setItemsActive(std::span<const uint32_t> serverHandles, bool active, std::vector<HRESULT>& errors)
{
    try {
        errors.assign(serverHandles.size(), S_OK);
        HRESULT answer = S_OK;
        std::vector<DaRef<DaItem>> activated;
        for (size_t i = 0; i < serverHandles.size(); ++i) {
            DaRef<DaItem> item = findItem(serverHandles[i]);
            const bool was = item && item->isActive();
            errors[i] = item ? item->setActive(active) : OPC_E_INVALIDHANDLE;
            if (FAILED(errors[i]))
                answer = S_FALSE;
            else if (active && !was)
                activated.push_back(std::move(item));
        }
        sendInitialValues(activated);
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

void DaGroup::itemActivationChanged(DaItem* item, bool active)
{
    if (!isActive())
        return;
    if (active)
        item->tag()->onItemActivated(item);
    else
        item->tag()->onItemDeactivated(item);
}

bool DaGroup::isCycleDue(uint32_t tick, uint32_t* waitMs)
{
    uint32_t lateness = 0;
    {
        TVCmnScopedLock hold(lock_);
        *waitMs = kDaNoTimeout;
        if (!active_ || removed_)
            return false;
        if (updateRateMs_ < kDaFastCycleLimitMs)
            return reportOnly_ || !cyclic_->inProgress();
        const uint32_t elapsed = TVCmnTick::elapsed(lastCycleTick_, tick);
        const uint32_t limit = updateRateMs_ - earlyStartMs_;
        if (elapsed < limit) {
            *waitMs = limit - elapsed;
            return false;
        }
        lateness = elapsed - limit;
    }
    *waitMs = startCycle(lateness);
    return true;
}

uint32_t DaGroup::startCycle(uint32_t latenessMs)
{
    TVCmnScopedLock hold(lock_);
    const uint32_t rate = updateRateMs_;
    uint32_t total = latenessMs;
    if (rate < kDaEarlyStartRateLimitMs) {
        // The early start grows in 10 ms steps by about 15 % of a millisecond per
        // second of rate, so that cycles do not drift late by the pass time.
        const uint32_t accumulated = ((rate * 150) >> 10) + earlyStartAccumulator_;
        if (accumulated < 1000) {
            earlyStartMs_ = 0;
            earlyStartAccumulator_ = uint16_t(accumulated);
        } else {
            earlyStartMs_ = uint8_t(std::min<uint32_t>((accumulated >> 10) * 10, 255));
            earlyStartAccumulator_ = uint16_t(accumulated & 0x3FF);
        }
        total += earlyStartMs_;
    }
    lastCycleTick_ = DaClock::tick();
    return total < rate ? rate - total : rate;
}

uint32_t DaGroup::addConnection(DaConnection connection)
{
    TVCmnScopedLock hold(lock_);
    connection.key = nextConnectionKey_++;
    connections_.push_back(std::move(connection));
    return connections_.back().key;
}

uint32_t DaGroup::adviseCallback(IOPCDataCallback* callback)
{
    DaConnection connection;
    connection.kind = DaConnection::Kind::v2;
    connection.callback = TVCmnComPtr<IOPCDataCallback>(callback);
    return addConnection(std::move(connection));
}

uint32_t DaGroup::adviseStream(IAdviseSink* sink, DaConnection::Kind kind, CLIPFORMAT format)
{
    DaConnection connection;
    connection.kind = kind;
    connection.format = format;
    connection.adviseSink = TVCmnComPtr<IAdviseSink>(sink);
    return addConnection(std::move(connection));
}

HRESULT DaGroup::unadvise(uint32_t key)
{
    DaConnection gone;
    std::vector<DaRef<DaItem>> items;
    {
        TVCmnScopedLock hold(lock_);
        auto it = std::find_if(connections_.begin(), connections_.end(),
                               [key](const DaConnection& c) { return c.key == key; });
        if (it == connections_.end())
            return E_INVALIDARG;
        gone = std::move(*it);
        connections_.erase(it);
        items = items_;
    }
    for (const DaRef<DaItem>& item : items)
        item->forgetConnection(key);
    return S_OK;  // the sink is released here, outside the lock
}

void DaGroup::getConnections(std::vector<DaConnection>& connections) const
{
    TVCmnScopedLock hold(lock_);
    connections = connections_;
}

bool DaGroup::hasConnection(DaConnection::Kind kind) const
{
    TVCmnScopedLock hold(lock_);
    return std::any_of(connections_.begin(), connections_.end(),
                       [kind](const DaConnection& c) { return c.kind == kind; });
}

void DaGroup::dropConnections()
{
    std::vector<DaConnection> gone;
    TVCmnScopedLock hold(lock_);
    gone.swap(connections_);
    hold.unlock();
}

void DaGroup::lookupItems(std::span<const uint32_t> handles, std::vector<DaRef<DaItem>>& items) const
{
    items.assign(handles.size(), nullptr);
    TVCmnScopedLock hold(lock_);
    for (size_t i = 0; i < handles.size(); ++i) {
        auto it = std::lower_bound(items_.begin(), items_.end(), handles[i],
                                   [](const DaRef<DaItem>& item, uint32_t handle) { return item->serverHandle_ < handle; });
        if (it != items_.end() && (*it)->serverHandle_ == handles[i])
            items[i] = *it;
    }
}

HRESULT DaGroup::checkIoHandles(std::span<const uint32_t> handles, bool write, std::span<const VARIANT> values,
                                std::vector<DaRef<DaItem>>& items, std::vector<HRESULT>& errors) const
{
    lookupItems(handles, items);
    errors.assign(handles.size(), S_OK);
    HRESULT answer = S_OK;
    for (size_t i = 0; i < handles.size(); ++i) {
        DaItem* item = items[i].get();
        HRESULT error = S_OK;
        if (!item) {
            error = OPC_E_INVALIDHANDLE;
        } else {
            const uint32_t rights = item->tag()->getAccessRights(item);
            if (!(rights & (write ? kDaAccessWritable : kDaAccessReadable))) {
                error = OPC_E_BADRIGHTS;
            } else if (write) {
                error = daCheckWriteValue(*item->tag(), values[i]);
            }
        }
        errors[i] = error;
        if (FAILED(error)) {
            answer = S_FALSE;
            items[i] = nullptr;
        }
    }
    return answer;
}

bool DaGroup::readFromCache(DaItem* item, LCID lcid, bool groupActive, DaReadResult& result, HRESULT& error) const
{
    DaRef<DaCache> cache = item->tag()->getCache();
    if (!cache)
        return false;
    VARTYPE requested;
    bool active;
    item->readState(requested, active);
    error = S_OK;
    cache->get(result.value.put(), &result.quality, &result.timestamp, nullptr, requested, lcid, &error);
    if ((result.timestamp.dwLowDateTime == 0 || result.timestamp.dwHighDateTime == 0) && SUCCEEDED(error))
        return false;  // no value yet: the tag decides how the read is served
    if (!(active && groupActive))
        result.quality = kDaQualityOutOfService;
    return true;
}

HRESULT DaGroup::syncRead(bool fromDevice, std::span<const uint32_t> handles, std::vector<DaReadResult>& results,
                          std::vector<HRESULT>& errors, std::span<const uint32_t> maxAges)
{
    try {
        DaServer* owner = server();
        if (!owner || handles.empty() || (!maxAges.empty() && maxAges.size() != handles.size()))
            return E_INVALIDARG;
        const bool withMaxAge = !maxAges.empty();
        std::vector<DaRef<DaItem>> items;
        HRESULT answer = checkIoHandles(handles, false, {}, items, errors);
        results.clear();
        results.resize(handles.size());
        if (!fromDevice || withMaxAge) {
            // Cache reads of items whose cache holds a value are answered here, as a
            // request would answer them, without making one: the common SyncIO read.
            const LCID lcid = owner->lcid();
            const bool groupActive = isActive();
            uint32_t served = 0, failed = 0;
            for (size_t i = 0; i < handles.size(); ++i) {
                // Any age reads what the cache holds, as a cache read does.
                if (!items[i] || (withMaxAge && maxAges[i] != kDaAnyAge))
                    continue;
                HRESULT error = S_OK;
                if (!readFromCache(items[i].get(), lcid, groupActive, results[i], error))
                    continue;
                ++served;
                if (FAILED(error) || !TVCmnQuality::isGood(results[i].quality))
                    ++failed;
                errors[i] = error;
                if (FAILED(error))
                    answer = S_FALSE;
                items[i] = nullptr;  // done
            }
            DaStatistics::process().countCacheReads(served, failed);
        }
        DaRef<DaTransaction> transaction =
            makeTransaction(owner, DaTransactionKind::syncRead, DaConnectionType::sync, this);
        if (!transaction)
            return E_OUTOFMEMORY;
        transaction->setReadLcid(owner->lcid());
        std::vector<DaRef<DaRequest>> requests(handles.size());
        for (size_t i = 0; i < handles.size(); ++i) {
            if (!items[i])
                continue;
            const DaRequestKind kind = withMaxAge ? kDaSyncMaxAgeItem : fromDevice ? kDaSyncDeviceItem : kDaSyncCacheItem;
            requests[i] = makeRequest(owner, transaction.get(), kind, false, items[i].get());
            if (!requests[i])
                return E_OUTOFMEMORY;
            if (withMaxAge)
                requests[i]->setMaxAge(maxAges[i]);
            transaction->addRequest(requests[i].get());
        }
        if (transaction->requestCount() == 0)
            return answer;
        transaction->execute(owner, owner->readTimeoutMs());
        for (size_t i = 0; i < handles.size(); ++i) {
            if (!requests[i])
                continue;
            requests[i]->getReadResult(results[i].value.put(), &results[i].quality, &results[i].timestamp);
            errors[i] = requests[i]->getResult();
            if (FAILED(errors[i]))
                answer = S_FALSE;
        }
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

HRESULT DaGroup::syncWrite(std::span<const uint32_t> handles, std::span<const VARIANT> values,
                           std::vector<HRESULT>& errors, std::span<const DaWriteQT> qts)
{
    try {
        if (!server() || handles.empty() || values.size() != handles.size() ||
            (!qts.empty() && qts.size() != handles.size()))
            return E_INVALIDARG;
        std::vector<DaRef<DaItem>> items;
        HRESULT answer = checkIoHandles(handles, true, values, items, errors);
        DaRef<DaTransaction> transaction =
            makeTransaction(server(), DaTransactionKind::syncWrite, DaConnectionType::sync, this);
        if (!transaction)
            return E_OUTOFMEMORY;
        std::vector<DaRef<DaRequest>> requests(handles.size());
        for (size_t i = 0; i < handles.size(); ++i) {
            if (!items[i])
                continue;
            requests[i] = makeRequest(server(), transaction.get(), kDaSyncDeviceItem, true, items[i].get());
            if (!requests[i])
                return E_OUTOFMEMORY;
            if (!daSetWriteValue(*requests[i], values[i], qts, i, errors, answer)) {
                requests[i] = nullptr;
                continue;
            }
            transaction->addRequest(requests[i].get());
        }
        return daExecuteAndCollect(*server(), *transaction, server()->writeTimeoutMs(), requests, errors, answer);
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

void DaGroup::sendInitialValues(const std::vector<DaRef<DaItem>>& items)
{
    DaServer* owner = server();
    if (items.empty() || !owner || !isActive())
        return;
    DaRef<DaTransaction> transaction;
    for (const DaRef<DaItem>& item : items) {
        DaTag* tag = item->tag();
        DaRef<DaCache> cache = tag->getCache();
        if (!tag->getCacheFirst() || !cache || !cache->holdsValue())
            continue;
        if (!transaction) {
            transaction = makeTransaction(owner, DaTransactionKind::refresh, DaConnectionType::all, this);
            if (!transaction)
                return;
        }
        DaRef<DaRequest> request = makeRequest(owner, transaction.get(), kDaAsyncCacheItem, false, item.get());
        if (!request)
            return;
        transaction->addRequest(request.get());
    }
    if (transaction)
        startAsync(transaction, 0, nullptr);
}

HRESULT DaGroup::startAsync(DaRef<DaTransaction> transaction, uint32_t clientTransactionId, uint32_t* cancelId)
{
    transaction->setClientTransactionId(clientTransactionId);
    if (cancelId)
        *cancelId = transaction->serverTransactionId();
    server()->addTransaction(transaction.get());
    transaction->start(server());
    server()->signalWork();
    return S_OK;
}

static bool connectionAvailable(const DaGroup& group, DaConnectionType connection, bool write)
{
    if (connection == DaConnectionType::v2)
        return group.hasConnection(DaConnection::Kind::v2);
    if (connection == DaConnectionType::v1)
        return write ? group.hasConnection(DaConnection::Kind::v1WriteComplete)
                     : group.hasConnection(DaConnection::Kind::v1Data) ||
                           group.hasConnection(DaConnection::Kind::v1DataTime);
    return true;
}

HRESULT DaGroup::asyncRead(bool fromDevice, std::span<const uint32_t> handles, uint32_t clientTransactionId,
                           DaConnectionType connection, uint32_t* cancelId, std::vector<HRESULT>& errors,
                           std::span<const uint32_t> maxAges)
{
    try {
        if (!server() || handles.empty() || (!maxAges.empty() && maxAges.size() != handles.size()))
            return E_INVALIDARG;
        if (!connectionAvailable(*this, connection, false))
            return kNoConnection;
        std::vector<DaRef<DaItem>> items;
        const HRESULT answer = checkIoHandles(handles, false, {}, items, errors);
        DaRef<DaTransaction> transaction = makeTransaction(server(), DaTransactionKind::asyncRead, connection, this);
        if (!transaction)
            return E_OUTOFMEMORY;
        const DaRequestKind kind = !maxAges.empty() ? kDaAsyncMaxAgeItem : fromDevice ? kDaAsyncDeviceItem : kDaAsyncCacheItem;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!items[i])
                continue;
            DaRef<DaRequest> request = makeRequest(server(), transaction.get(), kind, false, items[i].get());
            if (!request)
                return E_OUTOFMEMORY;
            if (!maxAges.empty())
                request->setMaxAge(maxAges[i]);
            transaction->addRequest(request.get());
        }
        if (transaction->requestCount() == 0)
            return answer;
        startAsync(transaction, clientTransactionId, cancelId);
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

HRESULT DaGroup::asyncWrite(std::span<const uint32_t> handles, std::span<const VARIANT> values,
                            uint32_t clientTransactionId, DaConnectionType connection, uint32_t* cancelId,
                            std::vector<HRESULT>& errors, std::span<const DaWriteQT> qts)
{
    try {
        if (!server() || handles.empty() || values.size() != handles.size() ||
            (!qts.empty() && qts.size() != handles.size()))
            return E_INVALIDARG;
        if (!connectionAvailable(*this, connection, true))
            return kNoConnection;
        std::vector<DaRef<DaItem>> items;
        HRESULT answer = checkIoHandles(handles, true, values, items, errors);
        DaRef<DaTransaction> transaction = makeTransaction(server(), DaTransactionKind::asyncWrite, connection, this);
        if (!transaction)
            return E_OUTOFMEMORY;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!items[i])
                continue;
            DaRef<DaRequest> request = makeRequest(server(), transaction.get(), kDaAsyncDeviceItem, true, items[i].get());
            if (!request)
                return E_OUTOFMEMORY;
            if (daSetWriteValue(*request, values[i], qts, i, errors, answer))
                transaction->addRequest(request.get());
        }
        if (transaction->requestCount() == 0)
            return answer;
        startAsync(transaction, clientTransactionId, cancelId);
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

HRESULT DaGroup::refresh(bool fromDevice, uint32_t clientTransactionId, DaConnectionType connection,
                         uint32_t* cancelId, std::optional<uint32_t> maxAgeMs, uint32_t onlyConnection)
{
    try {
        if (!server())
            return E_FAIL;
        if (!connectionAvailable(*this, connection, false))
            return kNoConnection;
        if (!isActive())
            return E_FAIL;
        std::vector<DaRef<DaItem>> items;
        getItems(items);
        DaRef<DaTransaction> transaction = makeTransaction(server(), DaTransactionKind::refresh, connection, this);
        if (!transaction)
            return E_OUTOFMEMORY;
        transaction->setTargetConnection(onlyConnection);
        for (const DaRef<DaItem>& item : items) {
            if (!item->isActive())
                continue;
            const DaRequestKind kind = maxAgeMs ? kDaAsyncMaxAgeItem : fromDevice ? kDaAsyncDeviceItem : kDaAsyncCacheItem;
            DaRef<DaRequest> request = makeRequest(server(), transaction.get(), kind, false, item.get());
            if (!request)
                return E_OUTOFMEMORY;
            if (maxAgeMs)
                request->setMaxAge(*maxAgeMs);
            transaction->addRequest(request.get());
        }
        if (transaction->requestCount() == 0)
            return E_FAIL;
        return startAsync(transaction, clientTransactionId, cancelId);
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

HRESULT DaGroup::cancel(uint32_t cancelId)
{
    DaServer* owner = server();
    if (!owner || cancelId == 0)
        return E_FAIL;
    std::vector<DaRef<DaTransaction>> transactions;
    owner->collectTransactions(this, transactions);
    for (const DaRef<DaTransaction>& transaction : transactions) {
        if (transaction->serverTransactionId() != cancelId || transaction->isSynchronous() || !transaction->inProgress())
            continue;
        transaction->cancel();
        owner->signalWork();
        return S_OK;
    }
    return E_FAIL;
}
