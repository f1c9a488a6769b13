#include "da/DaRequest.h"

#include "da/DaEngineTrace.h"
#include "da/DaGroup.h"
#include "da/DaItem.h"
#include "da/DaServer.h"
#include "da/DaStatistics.h"
#include "da/DaTag.h"
#include "da/DaTransaction.h"

namespace {
bool isCacheKind(DaRequestKind kind) { return (kind & kDaRequestDevice) == 0; }
bool isMaxAgeKind(DaRequestKind kind) { return (kind & kDaRequestMaxAge) != 0; }
bool fillsResultSlot(DaRequestKind kind)
{
    return kind == kDaSyncDeviceItem || kind == kDaSyncCacheItem || kind == kDaServerDeviceRead ||
           kind == kDaServerMaxAgeRead || kind == kDaSyncMaxAgeItem;
}
const char* kindText(DaRequestKind kind, bool write)
{
    switch (kind) {
    case kDaSyncDeviceItem: return write ? "s wi" : "sdri";
    case kDaSyncCacheItem: return "scri";
    case kDaAsyncDeviceItem: return write ? "a wi" : "adri";
    case kDaAsyncCacheItem: return "acri";
    case kDaPolledRefreshItem: return "acrp";
    case kDaServerDeviceRead: return "sdrs";
    case kDaServerMaxAgeRead: return "sars";
    case kDaForwardRequest: return "del";
    case kDaRefreshReport: return "rep";
    case kDaCyclicEntry: return "cyc";
    default: return "";
    }
}
}  // namespace

DaRequest::DaRequest(DaTransaction* transaction, DaRequestKind kind, bool write, DaItem* item, DaTag* tag)
    : DaObject(kDaCodeEngineObject),
      transaction_(transaction),
      item_(item),
      tag_(tag ? tag : (item ? item->tag() : nullptr)),
      kind_(kind),
      write_(write)
{
}

DaRequest::~DaRequest() = default;

std::string DaRequest::traceObjectName() const
{
    std::string text = item_ ? item_->itemId() : std::string();
    text += '(';
    text += kindText(kind_, write_);
    text += ')';
    return text;
}

DaRef<DaCache> DaRequest::getCache() const { return tag_ ? tag_->getCache() : nullptr; }

void DaRequest::setWriteValue(const VARIANT& value, const uint16_t* quality, const FILETIME* timestamp)
{
    auto extra = std::make_unique<Extra>();
    extra->writeValue = TVCmnVariant(value);
    if (quality) {
        extra->writeQuality = *quality;
        extra->writeMask |= kWriteQualityGiven;
    }
    if (timestamp) {
        extra->writeTimestamp = daFileTimeToUint(*timestamp);
        extra->writeMask |= kWriteTimestampGiven;
    }
    DaLockHolder hold(lock_);
    extra_ = std::move(extra);
}

bool DaRequest::getWriteValue(VARIANT* value) const
{
    DaLockHolder hold(lock_);
    if (!extra_ || !value)
        return false;
    return SUCCEEDED(extra_->writeValue.copyTo(*value));
}

void DaRequest::setResult(HRESULT result)
{
    DaLockHolder hold(lock_);
    result_ = result;
}

HRESULT DaRequest::getResult() const
{
    DaLockHolder hold(lock_);
    return result_;
}

void DaRequest::getReadResult(VARIANT* value, uint16_t* quality, FILETIME* timestamp) const
{
    DaLockHolder hold(lock_);
    if (value) {
        VariantClear(value);
        if (extra_)
            extra_->resultValue.copyTo(*value);
    }
    if (quality)
        *quality = extra_ ? extra_->resultQuality : 0;
    if (timestamp)
        *timestamp = daUintToFileTime(extra_ ? extra_->resultTimestamp : 0);
}

uint8_t DaRequest::state() const
{
    DaLockHolder hold(lock_);
    return state_;
}

uint32_t DaRequest::startTick() const
{
    DaLockHolder hold(lock_);
    return startTick_;
}

void DaRequest::addState(uint8_t bits)
{
    DaLockHolder hold(lock_);
    state_ |= bits;
}

void DaRequest::clearState(uint8_t bits)
{
    DaLockHolder hold(lock_);
    state_ &= uint8_t(~bits);
}

uint8_t DaRequest::flags() const
{
    DaLockHolder hold(lock_);
    return flags_;
}

void DaRequest::setFlags(uint8_t set, uint8_t clear)
{
    DaLockHolder hold(lock_);
    flags_ = uint8_t((flags_ & ~clear) | set);
}

void DaRequest::resetForCycle()
{
    DaLockHolder hold(lock_);
    state_ = 0;
    result_ = S_OK;
    flags_ &= uint8_t(~kYoungEnough);
}

bool DaRequest::completeFromCache() { return complete(S_OK, false, kDaQualityUncertain, false, true); }

bool DaRequest::completesFromCacheWhenYoung(DaCache* cache, uint64_t cacheTimestamp)
{
    const uint64_t now = DaClock::now();
    const uint64_t ageMs = now > cacheTimestamp ? (now - cacheTimestamp) / kDaFileTimeUnitsPerMs : 0;
    bool young = false;
    if (kind_ == kDaCyclicEntry) {
        const uint32_t rate = tag_->getUpdateRate();
        if (rate == 0)
            return false;
        if (rate == kDaNoUpdateRate) {
            const uint64_t lastCompletion = transaction_ ? transaction_->completionTime() : 0;
            young = lastCompletion != 0 && cacheTimestamp > lastCompletion;
        } else {
            young = ageMs < rate;
        }
    } else {
        young = ageMs <= maxAgeMs_;
    }
    if (!young || (cacheTimestamp >> 32) == 0 || (cacheTimestamp & 0xFFFFFFFFu) == 0)
        return false;
    setFlags(kYoungEnough, 0);
    return completeFromCache();
}

bool DaRequest::start(bool signal)
{
    if (!tag_)
        return false;
    DaRef<DaCache> cache = tag_->getCache();
    {
        DaLockHolder hold(lock_);
        if (state_ & kStarted)
            return true;
        state_ |= kStarted;
        startTick_ = DaClock::tick();
        pending_.reset(transaction_);
    }
    if (!write_ && cache && isCacheKind(kind_) && (!isMaxAgeKind(kind_) || maxAgeMs_ == kDaAnyAge) &&
        kind_ != kDaCyclicEntry && cache->holdsValue()) {
        completeFromCache();
        return true;
    }
    if (!write_ && cache && (kind_ == kDaCyclicEntry || isMaxAgeKind(kind_))) {
        if (completesFromCacheWhenYoung(cache.get(), cache->getTimestamp64()))
            return true;
    }
    switch (tag_->getRequestHandling(this)) {
    case kDaHandleByTag:
        // The tag may have completed the request itself; then its result stands.
        complete(tag_->handleRequest(this));
        break;
    case kDaHandleQueue:
        tag_->queueRequest(this, !write_);
        if (signal)
            tag_->signalQueue(!write_);
        break;
    case kDaHandleBatch:
        break;  // the transaction's batch hook serves it
    case kDaHandleOwn:
        handleOwn();
        break;
    case kDaHandlingNotAnItem:
        complete(E_FAIL);
        break;
    default:
        // 3 and 5, and tags that name no handling of their own: the engine's cache.
        completeFromCache();
        break;
    }
    return true;
}

void DaRequest::handleOwn() { completeFromCache(); }

bool DaRequest::markTaken()
{
    DaLockHolder hold(lock_);
    if (state_ & kTaken)
        return true;
    if ((state_ & kStarted) && !(state_ & kCompleted)) {
        state_ |= kTaken;
        return true;
    }
    return false;
}

void DaRequest::writeThrough(HRESULT result, bool qualityGiven, uint16_t quality)
{
    DaRef<DaCache> cache = getCache();
    if (!cache)
        return;
    const bool cacheFirst = tag_->getCacheFirst() != 0;
    TVCmnVariant before;
    uint16_t qualityBefore = 0;
    if (cacheFirst) {
        cache->getValue(before.put(), VT_EMPTY, kDaEngineLcid);
        qualityBefore = cache->getQuality();
    }
    if (SUCCEEDED(result)) {
        uint16_t stored = kDaQualityGood;
        FILETIME when = daUintToFileTime(DaClock::now());
        if (extra_ && (extra_->writeMask & kWriteQualityGiven))
            stored = extra_->writeQuality;
        else if (qualityGiven)
            stored = quality;
        if (extra_ && (extra_->writeMask & kWriteTimestampGiven))
            when = daUintToFileTime(extra_->writeTimestamp);
        if (extra_)
            cache->store(extra_->writeValue.get(), stored, when, kDaEngineLcid);
    } else if (!qualityGiven) {
        cache->setQuality(cache->holdsValue() ? kDaQualityCommFailure : kDaQualityLastKnown);
    } else {
        cache->setQuality(quality);
    }
    if (cacheFirst) {
        TVCmnVariant after;
        cache->getValue(after.put(), VT_EMPTY, kDaEngineLcid);
        if (cache->getQuality() != qualityBefore || !daVariantEqual(before.get(), after.get()))
            daUpdateTagValue(*tag_, nullptr, 0, nullptr);
    }
}

void DaRequest::fillReadResult(HRESULT& result, ReadContext& context)
{
    if (!extra_)
        extra_ = std::make_unique<Extra>();
    DaRef<DaCache> cache = getCache();
    context.filled = true;
    context.hasCache = cache != nullptr;
    if (!cache) {
        extra_->resultValue.clear();
        extra_->resultQuality = kDaQualityConfigError;
        extra_->resultTimestamp = DaClock::now();
        return;
    }
    FILETIME when;
    HRESULT error = S_OK;
    cache->get(extra_->resultValue.put(), &extra_->resultQuality, &when, this, context.type, context.lcid, &error);
    extra_->resultTimestamp = daFileTimeToUint(when);
    if (FAILED(error) && SUCCEEDED(result))
        result = error;
    context.quality = extra_->resultQuality;
    if (kind_ == kDaSyncCacheItem && !context.activeInGroup)
        extra_->resultQuality = kDaQualityOutOfService;
}

bool DaRequest::complete(HRESULT result, bool qualityGiven, uint16_t quality, bool resultOnly, bool updateCache)
{
    bool signal = false;
    uint32_t elapsedMs = 0;
    DaRef<DaTransaction> pending;
    // Item, group and server come before the request in the lock order: asked first.
    ReadContext context;
    if (!write_ && fillsResultSlot(kind_) && !resultOnly) {
        context.type = item_ ? item_->requestedDatatype() : VARTYPE(VT_EMPTY);
        context.lcid = transaction_ ? transaction_->readLcid() : kDaEngineLcid;
        context.activeInGroup = kind_ != kDaSyncCacheItem || !item_ || item_->isActiveInGroup();
    }
    {
        DaLockHolder hold(lock_);
        if (state_ & kCompleted)
            return true;
        if (!(state_ & kStarted) && !resultOnly)
            return false;
        if (!resultOnly) {
            if (write_ && updateCache)
                writeThrough(result, qualityGiven, quality);
            else if (!write_ && fillsResultSlot(kind_))
                fillReadResult(result, context);
        }
        result_ = result;
        state_ |= kStarted | kCompleted;
        elapsedMs = TVCmnTick::elapsed(startTick_, DaClock::tick());
        signal = !(kind_ == kDaCyclicEntry && (flags_ & kYoungEnough));
        pending = std::move(pending_);
    }
    if (!resultOnly) {
        if (write_ || context.filled) {
            DaStatistics::process().countRequest(kind_, write_, result, context.hasCache, context.quality, elapsedMs);
        } else {
            DaRef<DaCache> cache = getCache();
            DaStatistics::process().countRequest(kind_, write_, result, cache != nullptr,
                                                 cache ? DaQuality(cache->getQuality()) : DaQuality(0), elapsedMs);
        }
    }
    if (signal && pending)
        pending->requestCompleted(this);
    return true;
}

bool DaRequest::cancel(HRESULT result, bool setCacheQuality, uint16_t quality)
{
    {
        DaLockHolder hold(lock_);
        if (state_ & kCancelled)
            return true;
        if (state_ & kCompleted)
            return false;
        state_ |= kStarted;  // a request cancelled before its start completes all the same
        if (!pending_)
            pending_.reset(transaction_);
    }
    complete(result, false, kDaQualityUncertain, false, true);
    addState(kStarted | kCompleted | kCancelled);
    if (setCacheQuality) {
        if (DaRef<DaCache> cache = getCache())
            cache->setQuality(quality);
    }
    if ((kind_ & kDaRequestDevice) && tag_ && tag_->getRequestHandling(this) == kDaHandleQueue)
        tag_->signalQueue(!write_);
    return true;
}

bool DaRequest::hasChanged(uint32_t connectionKey, const VARIANT& value, uint16_t quality) const
{
    if (kind_ != kDaCyclicEntry && kind_ != kDaRefreshReport && kind_ != kDaPolledRefreshItem &&
        kind_ != kDaReportKind)
        return true;
    if (!item_)
        return true;
    if (!item_->isActiveInGroup())
        return false;
    return item_->hasChanged(connectionKey, value, quality);
}
