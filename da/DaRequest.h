// One item's part of a transaction: a read or write of one tag, answered from the cache
// or by the device side. The transaction starts it; the tag decides how it is served
// (getRequestHandling); whoever serves it calls complete() (the drive side from its
// thread after markTaken()), or the work thread cancels it after the server's time-out.
//
// State bits: 1 started, 2 taken by the device side, 4 completed, 8 cancelled,
// 0x10 processed by a callback, 0x20 reported.
#pragma once

#include <cstdint>
#include <memory>

#include "common/TVCmnVariant.h"
#include "da/DaCache.h"
#include "da/DaEngine.h"
#include "da/DaLock.h"
#include "da/DaObject.h"

class DaItem;
class DaTag;
class DaTransaction;

class DaRequest : public DaObject {
public:
    static constexpr uint8_t kStarted = 0x01;
    static constexpr uint8_t kTaken = 0x02;
    static constexpr uint8_t kCompleted = 0x04;
    static constexpr uint8_t kCancelled = 0x08;
    static constexpr uint8_t kProcessed = 0x10;
    static constexpr uint8_t kReported = 0x20;

    static constexpr uint8_t kSkipThisCycle = 0x08;
    static constexpr uint8_t kYoungEnough = 0x40;

    // Write value masks.
    static constexpr uint8_t kWriteQualityGiven = 1;
    static constexpr uint8_t kWriteTimestampGiven = 2;

    // The transaction owns its requests; the link back is not owning. The item may be
    // null for server-level requests, which name their tag directly.
    DaRequest(DaTransaction* transaction, DaRequestKind kind, bool write, DaItem* item, DaTag* tag);

    DaRequestKind kind() const noexcept { return kind_; }
    bool isWrite() const noexcept { return write_; }
    DaItem* getItem() const noexcept { return item_.get(); }
    DaTag* getItemTag() const noexcept { return tag_.get(); }
    DaRef<DaCache> getCache() const;
    DaTransaction* transaction() const noexcept { return transaction_; }

    uint32_t getMaxAge() const noexcept { return maxAgeMs_; }
    void setMaxAge(uint32_t maxAgeMs) noexcept { maxAgeMs_ = maxAgeMs; }
    // The value a write request carries, with the WriteVQT quality and timestamp.
    void setWriteValue(const VARIANT& value, const uint16_t* quality, const FILETIME* timestamp);
    bool getWriteValue(VARIANT* value) const;

    // Starts the request (once): served from the cache when it may be, else handed to
    // the tag. 'signal' lets a queued request wake the device side at once. False when
    // the request has no tag.
    bool start(bool signal);
    // The device side takes the request from the tag's queue: true when it may serve it.
    bool markTaken();
    // True when the request is (now) completed; false for a request never started,
    // unless resultOnly.
    bool complete(HRESULT result, bool qualityGiven = false, uint16_t quality = kDaQualityUncertain,
                  bool resultOnly = false, bool updateCache = true);
    // Completes with 'result'; with setCacheQuality the tag's cache takes 'quality'.
    // False when it was already completed.
    bool cancel(HRESULT result, bool setCacheQuality, uint16_t quality);

    void setResult(HRESULT result);
    HRESULT getResult() const;
    // The result slot of synchronous reads: value converted to the item's requested
    // datatype, quality, timestamp.
    void getReadResult(VARIANT* value, uint16_t* quality, FILETIME* timestamp) const;

    uint8_t state() const;
    bool isStarted() const { return state() & kStarted; }
    bool isCompleted() const { return state() & kCompleted; }
    uint32_t startTick() const;
    void addState(uint8_t bits);
    void clearState(uint8_t bits);
    uint8_t flags() const;
    void setFlags(uint8_t set, uint8_t clear);
    // Back to state 0 for the next cycle of a cyclic transaction.
    void resetForCycle();

    // The change test against what the item last sent on the connection.
    bool hasChanged(uint32_t connectionKey, const VARIANT& value, uint16_t quality) const;

    std::string traceObjectName() const override;
    const char* typeTag() const override { return "DRQ"; }

protected:
    ~DaRequest() override;
    // Handling code 6: the request's own handler; the default completes from the cache.
    virtual void handleOwn();

private:
    struct Extra {
        TVCmnVariant writeValue;
        uint16_t writeQuality = 0;
        uint64_t writeTimestamp = 0;
        uint8_t writeMask = 0;
        TVCmnVariant resultValue;
        uint16_t resultQuality = 0;
        uint64_t resultTimestamp = 0;
    };
    struct ReadContext {
        VARTYPE type = VT_EMPTY;
        LCID lcid = kDaEngineLcid;
        bool activeInGroup = true;
        // Filled in by fillReadResult, for the statistics.
        bool filled = false;
        bool hasCache = false;
        uint16_t quality = 0;
    };
    bool completeFromCache();
    void writeThrough(HRESULT result, bool qualityGiven, uint16_t quality);
    void fillReadResult(HRESULT& result, ReadContext& context);
    bool completesFromCacheWhenYoung(DaCache* cache, uint64_t cacheTimestamp);

    DaTransaction* const transaction_;  // not owning: the transaction holds this request
    const DaRef<DaItem> item_;
    const DaRef<DaTag> tag_;
    const DaRequestKind kind_;
    const bool write_;
    uint32_t maxAgeMs_ = kDaAnyAge;  // set before start
    mutable DaLock lock_;
    uint8_t state_ = 0;               // guarded by lock_
    uint8_t flags_ = 0;               // guarded by lock_
    HRESULT result_ = S_OK;           // guarded by lock_
    uint32_t startTick_ = 0;          // guarded by lock_
    std::unique_ptr<Extra> extra_;    // guarded by lock_; writes and synchronous reads only
    // Held from start to completion, so that a device side that completes the request
    // late still finds its transaction; released after the completion is announced.
    DaRef<DaTransaction> pending_;    // guarded by lock_
};
