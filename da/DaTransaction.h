// A unit of reading or writing: one DaRequest per item. Each group owns one cyclic
// transaction (its subscription); the interface layer makes the others for reads,
// writes and refreshes. The server's work thread starts cyclic transactions when due,
// watches running ones for completion and time-outs, and completes them, which sends
// the client callbacks (V2 IOPCDataCallback, V1 streams) built here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/TVCmnComPtr.h"
#include "common/TVCmnEvent.h"
#include "common/TVCmnLock.h"
#include "da/DaClientSinks.h"
#include "da/DaEngine.h"
#include "da/DaObject.h"
#include "da/DaRequest.h"

class DaGroup;
class DaServer;

// One advise on a group. key identifies the connection in each item's last-sent
// values; V1 connections carry the registered stream format.
struct DaConnection {
    enum class Kind : uint8_t { v2, v1Data, v1DataTime, v1WriteComplete };
    uint32_t key = 0;
    Kind kind = Kind::v2;
    CLIPFORMAT format = 0;
    TVCmnComPtr<IOPCDataCallback> callback;
    TVCmnComPtr<IAdviseSink> adviseSink;
};

class DaTransaction : public DaObject {
public:
    static constexpr uint8_t kInProgress = 2;

    // Non-cyclic transactions hold a reference on their group; the cyclic one is owned
    // by its group and only points at it.
    DaTransaction(DaTransactionKind kind, DaConnectionType connection, DaGroup* group);

    DaTransactionKind kind() const noexcept { return kind_; }
    DaConnectionType connectionType() const noexcept { return connection_; }
    bool isCyclic() const noexcept { return kind_ == DaTransactionKind::cyclic; }
    bool isSynchronous() const noexcept
    {
        return kind_ == DaTransactionKind::syncRead || kind_ == DaTransactionKind::syncWrite ||
               kind_ == DaTransactionKind::serverRead || kind_ == DaTransactionKind::serverWrite;
    }
    bool isWrite() const noexcept
    {
        return kind_ == DaTransactionKind::asyncWrite || kind_ == DaTransactionKind::syncWrite ||
               kind_ == DaTransactionKind::serverWrite;
    }
    DaGroup* group() const noexcept { return group_; }
    uint32_t serverTransactionId() const noexcept { return serverTransactionId_; }
    uint32_t clientTransactionId() const noexcept { return clientTransactionId_.load(std::memory_order_relaxed); }
    void setClientTransactionId(uint32_t id) noexcept { clientTransactionId_.store(id, std::memory_order_relaxed); }
    uint64_t lastSendTime() const noexcept { return lastSend_.load(std::memory_order_relaxed); }
    // Aims the results at the one connection with this key (the first values of a new
    // advise connection, which the group's other connections already have); 0 serves
    // every connection of the connection type. Set before the transaction starts.
    void setTargetConnection(uint32_t key) noexcept { targetKey_.store(key, std::memory_order_relaxed); }
    void setLastSendTime(uint64_t time) noexcept { lastSend_.store(time, std::memory_order_relaxed); }
    uint64_t completionTime() const noexcept { return completionTime_.load(std::memory_order_acquire); }
    bool inProgress() const;
    // A request that keeps running into the next cycle is not cancelled by it.
    void setKeepPending(bool keep);

    // Requests are added before the transaction starts (the cyclic one: under its lock,
    // at any time; a new entry takes part from the next cycle).
    void addRequest(DaRequest* request);
    // Drops the requests of items that were removed from the group.
    void removeRequestsOfRemovedItems();
    // Completes every open request of 'item' with 'result' (the item was removed).
    void completeRequestsOfItem(const DaItem* item, HRESULT result);
    size_t requestCount() const;
    void getRequests(std::vector<DaRef<DaRequest>>& requests) const;

    virtual void start(DaServer* server);
    // Time-outs and completion; 'wait' gets the time until the next time-out. True when
    // the transaction completed in this call.
    virtual bool update(DaServer* server, uint32_t tick, uint32_t timeoutMs, uint32_t* wait);
    // Records the completion time, returns to idle and sends the callbacks.
    virtual void complete(DaServer* server);
    virtual void sendCancelComplete(const DaConnection& connection);
    // Synchronous run in the calling thread: start, wait for the requests, update with
    // the time-out until done.
    virtual HRESULT execute(DaServer* server, uint32_t timeoutMs);
    // Handling code 4: called once after all starts; empty by default.
    virtual void onBatch(const std::vector<DaRef<DaRequest>>& requests) {}
    virtual void sendKeepAlive(DaServer* server);
    virtual void sendReadCallbacks(DaServer* server, const DaConnection& connection);
    virtual void sendWriteCallbacks(DaServer* server, const DaConnection& connection);

    // Asks for OnCancelComplete instead of the results (IOPCAsyncIO2::Cancel2).
    void cancel();
    bool isCancelled() const;

    // The LCID under which synchronous reads convert (the server's, set at creation).
    LCID readLcid() const noexcept { return readLcid_.load(std::memory_order_relaxed); }
    void setReadLcid(LCID lcid) noexcept { readLcid_.store(lcid, std::memory_order_relaxed); }

    // The group or server is going: from now on completions that arrive late (from
    // the device side) touch neither. Called before the group or server can go.
    void detach();

    // A request of this transaction completed (called by the request, no lock held).
    void requestCompleted(const DaRequest* request);

    std::string traceObjectName() const override;
    const char* typeTag() const override { return "DTR"; }

protected:
    ~DaTransaction() override;

private:
    struct ReadEntry;
    bool connectionServed(const DaConnection& connection, bool forWrite) const;
    void deliver(DaServer* server, const std::vector<DaConnection>& connections);
    bool collectReadEntries(DaServer* server, const DaConnection& connection, std::vector<ReadEntry>& entries,
                            HRESULT& masterQuality, HRESULT& masterError);
    void callV2(DaServer* server, const DaConnection& connection, std::vector<ReadEntry>& entries,
                HRESULT masterQuality, HRESULT masterError, bool dataChange);
    void callV1Data(DaServer* server, const DaConnection& connection, const std::vector<ReadEntry>& entries,
                    HRESULT masterQuality);
    void afterCallbackFailure(DaServer* server, HRESULT hr);

    const DaTransactionKind kind_;
    const DaConnectionType connection_;
    DaGroup* const group_;          // not owning for the cyclic transaction
    const DaRef<DaGroup> groupRef_;  // the owning reference of the other kinds
    const uint32_t serverTransactionId_;
    std::atomic<uint32_t> clientTransactionId_{0};
    std::atomic<uint64_t> lastSend_{0};
    std::atomic<uint32_t> targetKey_{0};
    std::atomic<uint64_t> completionTime_{0};
    std::atomic<DaServer*> deadServer_{nullptr};
    std::atomic<LCID> readLcid_{kDaEngineLcid};
    // Mirrors the in-progress bit for requestCompleted, which runs for every request and
    // needs no more than a look.
    std::atomic<bool> running_{false};  // set by a dead-client failure in a callback

    mutable TVCmnLock lock_;
    std::vector<DaRef<DaRequest>> requests_ KV_GUARDED_BY(lock_);
    size_t requestsAtStart_ KV_GUARDED_BY(lock_) = 0;
    uint8_t state_ KV_GUARDED_BY(lock_) = 0;
    bool keepPending_ KV_GUARDED_BY(lock_) = false;
    bool cancelled_ KV_GUARDED_BY(lock_) = false;
    bool detached_ KV_GUARDED_BY(lock_) = false;
    // Synchronous transactions only: set by each request completion.
    std::unique_ptr<TVCmnEvent> completionEvent_;
};
