// A client's group: its items, its subscription settings (update rate, keep-alive,
// deadband, active state) and its callback connections, with the one cyclic transaction
// that serves the subscription. Made by DaCreator::createGroup; the application's group
// overrides setUpdateRate (and may use the on...Changed hooks) for its own bookkeeping.
//
// The setters are called by client threads while the server's work thread reads the
// same fields; everything here is guarded by the group's lock. Changes that move the
// schedule signal the server's work event rather than touching the schedule.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/TVCmnLock.h"
#include "da/DaEngine.h"
#include "da/DaItem.h"
#include "da/DaObject.h"
#include "da/DaTransaction.h"

class DaServer;

struct DaItemDef {
    std::string itemId;
    std::string accessPath;
    VARTYPE requestedType = VT_EMPTY;
    bool active = true;
    uint32_t clientHandle = 0;
};

struct DaItemResult {
    uint32_t serverHandle = 0;
    VARTYPE canonicalType = VT_EMPTY;
    uint32_t accessRights = 0;
};

struct DaReadResult {
    TVCmnVariant value;
    uint16_t quality = 0;
    FILETIME timestamp = {0, 0};
};

// What a VQT write (IOPCSyncIO2, IOPCAsyncIO3, IOPCItemIO) gives besides the value.
// A tag whose writes go to a device keeps the quality and time its device reports:
// there either one answers OPC_E_NOTSUPPORTED for the item.
struct DaWriteQT {
    bool hasQuality = false;
    uint16_t quality = 0;
    bool hasTimestamp = false;
    FILETIME timestamp = {0, 0};
};

// Shared by the group's writes and the server's group-less ones. OPC_E_BADTYPE when the
// tag's canonical type cannot take the value.
HRESULT daCheckWriteValue(DaTag& tag, const VARIANT& value);
// Gives the request its value with qts[index] (when qts is not empty); a quality or
// time for a device-written tag is refused: errors[index] = OPC_E_NOTSUPPORTED,
// answer = S_FALSE, false.
bool daSetWriteValue(DaRequest& request, const VARIANT& value, std::span<const DaWriteQT> qts, size_t index,
                     std::vector<HRESULT>& errors, HRESULT& answer);

// Runs a synchronous transaction when it has requests and puts each request's result
// into errors (requests: one entry per item, null for the items left out). The answer
// is `answer`, or S_FALSE when a request failed.
HRESULT daExecuteAndCollect(DaServer& server, DaTransaction& transaction, uint32_t timeoutMs,
                            const std::vector<DaRef<DaRequest>>& requests, std::vector<HRESULT>& errors,
                            HRESULT answer);

class DaGroup : public DaObject {
public:
    explicit DaGroup(DaServer* server);

    DaServer* server() const noexcept { return server_.load(std::memory_order_acquire); }
    uint32_t serverHandle() const noexcept { return serverHandle_; }
    std::string name() const;
    // The name rules of the address space; OPC_E_DUPLICATENAME when the server has a
    // group of that name.
    HRESULT setName(const std::string& name);

    uint32_t clientHandle() const;
    uint32_t updateRate() const;
    uint32_t keepAlive() const;
    LONG timeBias() const;
    float deadband() const;
    LCID lcid() const;
    bool isActive() const;
    bool isEnabled() const;
    bool isRemoved() const;
    bool isReportOnly() const;
    uint32_t lastCycleTick() const;
    uint8_t earlyStartMs() const;
    uint16_t earlyStartAccumulator() const;

    // Setters, in the order the application overrides them.
    virtual HRESULT setActive(bool active);
    // Raised to the minimum, capped at kTickNever; *revised gets the rate kept.
    virtual HRESULT setUpdateRate(uint32_t requestedMs, uint32_t* revisedMs);
    virtual HRESULT setClientHandle(uint32_t handle);
    virtual HRESULT setTimeBias(LONG minutes);
    virtual HRESULT setDeadband(float percent);
    virtual HRESULT setLCID(LCID lcid);
    virtual HRESULT setEnable(bool enable);
    // 0 is off; else raised to the minimum keep-alive, capped at kTickNever.
    virtual HRESULT setKeepAlive(uint32_t requestedMs, uint32_t* revisedMs);
    virtual HRESULT validateItem(const std::string& itemId, const std::string& accessPath, VARTYPE requestedType,
                                 DaRef<DaTag>& tag, VARTYPE& canonicalType, uint32_t& accessRights);
    // Hooks, called before the new value is stored.
    virtual void onActiveChanged(bool active) {}
    virtual void onUpdateRateChanged(uint32_t rateMs) {}
    virtual void onKeepAliveChanged(uint32_t keepAliveMs) {}
    // Scheduling (the work thread).
    virtual bool isCycleDue(uint32_t tick, uint32_t* waitMs);
    virtual uint32_t startCycle(uint32_t latenessMs);

    // Items. The batch forms answer S_FALSE when any item failed, with its error.
    HRESULT addItem(const DaItemDef& def, DaItemResult& result, DaRef<DaItem>* item = nullptr);
    HRESULT addItems(std::span<const DaItemDef> defs, std::vector<DaItemResult>& results,
                     std::vector<HRESULT>& errors);
    HRESULT validateItems(std::span<const DaItemDef> defs, std::vector<DaItemResult>& results,
                          std::vector<HRESULT>& errors);
    HRESULT removeItem(uint32_t serverHandle);
    HRESULT removeItems(std::span<const uint32_t> serverHandles, std::vector<HRESULT>& errors);
    HRESULT setItemsActive(std::span<const uint32_t> serverHandles, bool active, std::vector<HRESULT>& errors);
    DaRef<DaItem> findItem(uint32_t serverHandle) const;
    void getItems(std::vector<DaRef<DaItem>>& items) const;
    size_t itemCount() const;
    // Every item goes (group removal); their open requests complete with
    // OPC_E_INVALIDHANDLE.
    void removeAllItems();

    // Callback connections. The key names the connection in unadvise.
    uint32_t adviseCallback(IOPCDataCallback* callback);
    uint32_t adviseStream(IAdviseSink* sink, DaConnection::Kind kind, CLIPFORMAT format);
    HRESULT unadvise(uint32_t key);
    void getConnections(std::vector<DaConnection>& connections) const;
    bool hasConnection(DaConnection::Kind kind) const;
    // Releases every sink (client disconnection); the sinks go outside the lock.
    void dropConnections();

    // Reads, writes and refreshes as the group interfaces start them. Handles are
    // checked first (OPC_E_INVALIDHANDLE, OPC_E_BADRIGHTS, OPC_E_BADTYPE per item);
    // the valid ones run, the call answers S_FALSE when any item failed.
    // With maxAges (one per handle) a read is a max-age read and fromDevice is not
    // looked at; with qts (one per handle) a write is a VQT write.
    HRESULT syncRead(bool fromDevice, std::span<const uint32_t> handles, std::vector<DaReadResult>& results,
                     std::vector<HRESULT>& errors, std::span<const uint32_t> maxAges = {});
    HRESULT syncWrite(std::span<const uint32_t> handles, std::span<const VARIANT> values,
                      std::vector<HRESULT>& errors, std::span<const DaWriteQT> qts = {});
    HRESULT asyncRead(bool fromDevice, std::span<const uint32_t> handles, uint32_t clientTransactionId,
                      DaConnectionType connection, uint32_t* cancelId, std::vector<HRESULT>& errors,
                      std::span<const uint32_t> maxAges = {});
    HRESULT asyncWrite(std::span<const uint32_t> handles, std::span<const VARIANT> values,
                       uint32_t clientTransactionId, DaConnectionType connection, uint32_t* cancelId,
                       std::vector<HRESULT>& errors, std::span<const DaWriteQT> qts = {});
    // E_FAIL when the group or all its items are inactive. With a max age every item
    // is read with it (IOPCAsyncIO3::RefreshMaxAge) and fromDevice is not looked at.
    // A non-zero onlyConnection sends the results to that connection alone.
    HRESULT refresh(bool fromDevice, uint32_t clientTransactionId, DaConnectionType connection, uint32_t* cancelId,
                    std::optional<uint32_t> maxAgeMs = std::nullopt, uint32_t onlyConnection = 0);

    // IOPCAsyncIO2::Cancel2: the running transaction of this group with that cancel ID
    // ends with OnCancelComplete instead of its results; E_FAIL when there is none.
    HRESULT cancel(uint32_t cancelId);

    DaTransaction* cyclicTransaction() const noexcept { return cyclic_.get(); }

    std::string traceObjectName() const override { return name(); }
    const char* typeTag() const override { return "DGR"; }

protected:
    ~DaGroup() override;

private:
    friend class DaServer;
    friend class DaItem;
    void markRemoved();
    void itemActivationChanged(DaItem* item, bool active);
    void lookupItems(std::span<const uint32_t> handles, std::vector<DaRef<DaItem>>& items) const;
    bool readFromCache(DaItem* item, LCID lcid, bool groupActive, DaReadResult& result, HRESULT& error) const;
    HRESULT checkIoHandles(std::span<const uint32_t> handles, bool write, std::span<const VARIANT> values,
                           std::vector<DaRef<DaItem>>& items, std::vector<HRESULT>& errors) const;
    // Items that became active and whose tag is cache-first with a value go to the
    // callback connections at once, as one refresh, instead of at the next cycle.
    void sendInitialValues(const std::vector<DaRef<DaItem>>& items);
    HRESULT startAsync(DaRef<DaTransaction> transaction, uint32_t clientTransactionId, uint32_t* cancelId);
    uint32_t addConnection(DaConnection connection);
    void unpublishItems(std::vector<DaRef<DaItem>>& removed);

    std::atomic<DaServer*> server_;  // not owning: the server holds this group; null once removed
    const uint32_t serverHandle_;
    DaRef<DaTransaction> cyclic_;  // set in the constructor, never changed

    mutable TVCmnLock lock_;
    std::string name_ KV_GUARDED_BY(lock_);
    uint32_t clientHandle_ KV_GUARDED_BY(lock_) = 0;
    uint32_t updateRateMs_ KV_GUARDED_BY(lock_) = kTickNever;
    uint32_t keepAliveMs_ KV_GUARDED_BY(lock_) = 0;
    LONG timeBias_ KV_GUARDED_BY(lock_) = 0;
    float deadband_ KV_GUARDED_BY(lock_) = 0.0f;
    LCID lcid_ KV_GUARDED_BY(lock_) = kDaDefaultGroupLcid;
    bool active_ KV_GUARDED_BY(lock_) = false;
    bool enable_ KV_GUARDED_BY(lock_) = true;
    bool removed_ KV_GUARDED_BY(lock_) = false;
    bool reportOnly_ KV_GUARDED_BY(lock_) = false;
    uint32_t lastCycleTick_ KV_GUARDED_BY(lock_) = 0;
    uint16_t earlyStartAccumulator_ KV_GUARDED_BY(lock_) = 0;
    uint8_t earlyStartMs_ KV_GUARDED_BY(lock_) = 0;
    // Sorted by server handle: handles only grow, so adding appends.
    std::vector<DaRef<DaItem>> items_ KV_GUARDED_BY(lock_);
    std::vector<DaConnection> connections_ KV_GUARDED_BY(lock_);
    uint32_t nextConnectionKey_ KV_GUARDED_BY(lock_) = 1;
};
