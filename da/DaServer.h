// The engine's side of one client connection: the client's groups, its running
// transactions and the work thread that schedules them (cycles, time-outs,
// keep-alives). Made by DaCreator::createServer and held by the DaObjectRoot, which
// starts the work thread and ends it (shutdown) before it lets the server go.
//
// The work thread sleeps on the end and work events until the next due cycle,
// keep-alive or request time-out; every change that moves that time signals the work
// event.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/TVCmnEvent.h"
#include "common/TVCmnLock.h"
#include "common/TVCmnThread.h"
#include "da/DaEngine.h"
#include "da/DaGroup.h"
#include "da/DaItemLookup.h"
#include "da/DaObject.h"

class DaObjectRoot;

struct DaGroupParams {
    std::string name;  // empty: "GRP%8.8lX" of the server handle
    bool active = false;
    uint32_t requestedUpdateRateMs = 0;
    uint32_t clientHandle = 0;
    const LONG* timeBias = nullptr;  // none: the group keeps the system bias
    const float* deadband = nullptr;
    LCID lcid = kDaDefaultGroupLcid;
};

class DaServer : public DaObject {
public:
    static constexpr const char* kPublicGroupsName = "Public Group Templates";

    DaServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups = false);

    DaObjectRoot* root() const noexcept { return root_; }
    uint32_t serverClass() const noexcept { return serverClass_; }
    bool isPublicGroups() const noexcept { return publicGroups_; }

    HRESULT addGroup(const DaGroupParams& params, DaRef<DaGroup>& group, uint32_t* revisedRateMs);
    HRESULT removeGroup(uint32_t serverHandle, bool removePublic = false);
    DaRef<DaGroup> findGroupByHandle(uint32_t serverHandle) const;
    DaRef<DaGroup> findGroupByName(const std::string& name) const;
    void getGroups(std::vector<DaRef<DaGroup>>& groups) const;
    size_t groupCount() const;
    // Renames under the server lock so that two renames cannot pick the same name.
    HRESULT renameGroup(DaGroup* group, const std::string& name);

    bool isLCIDSupported(LCID lcid) const;
    // S_OK with the tag; OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID otherwise.
    HRESULT resolveItemID(const std::string& itemId, DaRef<DaTag>& tag) const;

    // Group-less reads and writes of tags named by item ID (IOPCItemIO). Each ID is
    // resolved and checked for the access right (OPC_E_BADRIGHTS) and, for writes, the
    // value's type (OPC_E_BADTYPE); the valid ones run in one synchronous transaction.
    // S_FALSE when any item failed. maxAges and values: one per item ID; qts: none or
    // one per item ID.
    HRESULT readTags(std::span<const std::string> itemIds, std::span<const uint32_t> maxAges,
                     std::vector<DaReadResult>& results, std::vector<HRESULT>& errors);
    HRESULT writeTags(std::span<const std::string> itemIds, std::span<const VARIANT> values,
                      std::span<const DaWriteQT> qts, std::vector<HRESULT>& errors);

    void addTransaction(DaTransaction* transaction);
    void removeTransaction(DaTransaction* transaction);
    size_t transactionCount() const;
    // The running transactions of one group (item removal ends their requests).
    void collectTransactions(const DaGroup* group, std::vector<DaRef<DaTransaction>>& transactions) const;

    uint32_t readTimeoutMs() const { return readTimeoutMs_.load(std::memory_order_relaxed); }
    uint32_t writeTimeoutMs() const { return writeTimeoutMs_.load(std::memory_order_relaxed); }
    void setTimeouts(uint32_t readMs, uint32_t writeMs);
    LCID lcid() const;
    void setLCID(LCID lcid);
    std::string clientName() const;
    void setClientName(const std::string& name);
    uint64_t lastUpdateTime() const { return lastUpdateTime_.load(std::memory_order_relaxed); }
    void setLastUpdateTime(uint64_t time) { lastUpdateTime_.store(time, std::memory_order_relaxed); }

    // One pass of the work thread: starts due cycles, updates transactions, sends
    // keep-alives; the answer is the time until the next of them (ms).
    uint32_t work(uint32_t tick);
    uint32_t startCyclicTransactions(uint32_t tick, uint32_t wait);
    uint32_t updateTransactions(uint32_t tick, uint32_t wait);
    uint32_t sendKeepAlives(uint64_t now, uint32_t tick, uint32_t wait);
    void signalWork() { workEvent_.set(); }

    // The work thread. startWorkThread is called by the root; shutdown ends the thread,
    // removes the groups and releases every client sink.
    bool startWorkThread();
    void shutdown();
    // Passes the work thread ran (benchmarks count wake-ups).
    uint64_t workPassCount() const { return passes_.load(std::memory_order_relaxed); }
    // Cycles the work thread started: the due events it woke for.
    uint64_t cycleStartCount() const { return cycleStarts_.load(std::memory_order_relaxed); }

    // A callback failed with a dead-client code: releases the client's sinks and calls
    // onClientDisconnected (once). Never called with an engine lock held.
    void disconnectClient();
    bool isDisconnected() const { return disconnected_.load(std::memory_order_acquire); }
    // A call into one of the client's objects failed with a dead-client code: the whole
    // client is gone, so no other call goes into any of its objects (all its groups'
    // callbacks, its advise sinks, its shutdown sink, the client check's ping). Under
    // Wine each further call into a dead process keeps one more handle for good. A call
    // already running on another thread when it is marked is the only one that still
    // goes out. Callers check isClientDead before each call out.
    void markClientDead() { clientDead_.store(true, std::memory_order_release); }
    bool isClientDead() const { return clientDead_.load(std::memory_order_acquire); }
    // Marks the client dead when `hr` is a dead-client code; true when it is.
    bool noteCallResult(HRESULT hr);

    std::string traceObjectName() const override;
    const char* typeTag() const override { return "DSE"; }

protected:
    ~DaServer() override;
    // The interface layer disconnects the client's COM objects from their proxies here.
    virtual void onClientDisconnected() {}

private:
    void workThread(TVCmnThread& thread);

    DaObjectRoot* const root_;  // not owning: the root holds this server
    const uint32_t serverClass_;
    const bool publicGroups_;
    std::atomic<uint32_t> readTimeoutMs_{kDaNoTimeout};
    std::atomic<uint32_t> writeTimeoutMs_{kDaNoTimeout};
    std::atomic<uint64_t> lastUpdateTime_{0};
    std::atomic<uint64_t> passes_{0};
    std::atomic<uint64_t> cycleStarts_{0};
    std::atomic<bool> disconnected_{false};
    // Set once by whichever thread's call out failed first; never cleared (a client
    // that died stays dead). Atomic: read before every call out on any thread.
    std::atomic<bool> clientDead_{false};
    std::vector<LCID> supportedLcids_;  // fixed at construction

    TVCmnEvent workEvent_{TVCmnEvent::Reset::automatic};
    std::unique_ptr<TVCmnThread> thread_;  // only touched by the root's thread

    mutable TVCmnLock lock_;
    std::vector<DaRef<DaGroup>> groups_ KV_GUARDED_BY(lock_);
    std::vector<DaRef<DaTransaction>> transactions_ KV_GUARDED_BY(lock_);
    uint32_t transactionsVersion_ KV_GUARDED_BY(lock_) = 0;  // changes with each add/remove
    std::string clientName_ KV_GUARDED_BY(lock_);
    LCID lcid_ KV_GUARDED_BY(lock_) = kDaDefaultGroupLcid;
};
