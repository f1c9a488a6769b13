#include "commsserver/LoopTable.h"

#include <algorithm>

#include "commsserver/CommsSettings.h"

namespace comms {

namespace {

ULONG effectiveRate(ULONG rateMs)
{
    return rateMs < kMinimumLoopRateMs ? kMinimumLoopRateMs : rateMs;
}

LoopClock::time_point dueAfter(LoopClock::time_point now, ULONG rateMs)
{
    if (rateMs >= kLoopRateNeverMs)
        return LoopClock::time_point::max();
    return now + std::chrono::milliseconds(rateMs);
}

// A parameter the node lacks is a configuration error in the loop; the same answer to
// a direct read is the drive's own "no such parameter".
LONG loopStatus(LONG readingStatus)
{
    return readingStatus == kStatusNoSuchParameter ? kStatusLoopNoSuchParameter : readingStatus;
}

}  // namespace

bool LoopTable::current(const SlotRef& ref) const
{
    const Entry& e = entries_[ref.slot];
    return e.live && e.generation == ref.generation;
}

LONG LoopTable::add(ULONGLONG owner, std::uint32_t node, const ParameterRecord& record, ULONG rateMs,
                    LoopClock::time_point now)
{
    const Key key{owner, node, record.menu, record.parameter};
    const ULONG rate = effectiveRate(rateMs);
    auto found = index_.find(key);
    if (found != index_.end()) {
        const Entry& e = entries_[found->second];
        if (buckets_[e.bucket].rateMs == rate) {
            entries_[found->second].record = record;
            return kStatusOk;
        }
        remove(owner, node, record.menu, record.parameter);  // re-added below at the new rate
    }

    std::uint32_t bucket = 0;
    for (; bucket < buckets_.size(); ++bucket) {
        if (buckets_[bucket].node == node && buckets_[bucket].rateMs == rate)
            break;
    }
    if (bucket == buckets_.size()) {
        Bucket b;
        b.node = node;
        b.rateMs = rate;
        b.nextDue = dueAfter(now, rate);
        buckets_.push_back(std::move(b));
    }

    std::uint32_t slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(entries_.size());
        entries_.emplace_back();
    }
    Entry& e = entries_[slot];
    e.owner = owner;
    e.node = node;
    e.generation += 1;
    e.bucket = bucket;
    e.live = true;
    e.queued = false;
    e.status = kStatusOk;
    e.record = record;
    index_.emplace(key, slot);

    Bucket& b = buckets_[bucket];
    // A bucket emptied before its cycle came keeps that time, long past by now: it
    // starts afresh, as a new one would, instead of running a cycle at once.
    if (b.live == 0 && b.cursor == 0)
        b.nextDue = dueAfter(now, rate);
    b.members.push_back({slot, e.generation});
    b.live += 1;
    b.sorted = false;
    if (fresh_.empty())
        freshFirst_ = now;
    freshLast_ = now;
    fresh_.push_back({slot, e.generation});
    return kStatusOk;
}

LONG LoopTable::remove(ULONGLONG owner, std::uint32_t node, LONG menu, LONG parameter)
{
    auto found = index_.find(Key{owner, node, menu, parameter});
    if (found == index_.end())
        return kStatusNotInLoop;
    const std::uint32_t slot = found->second;
    index_.erase(found);
    Entry& e = entries_[slot];
    if (e.queued)
        queuedCount_ -= 1;
    e.live = false;
    e.queued = false;
    e.generation += 1;  // references in buckets, the fresh list and the queue go stale
    buckets_[e.bucket].live -= 1;
    freeSlots_.push_back(slot);
    return kStatusOk;
}

LONG LoopTable::next(ULONGLONG& owner, std::uint32_t& node, ParameterRecord& record)
{
    while (!queue_.empty()) {
        const SlotRef ref = queue_.front();
        queue_.pop_front();
        if (!current(ref))
            continue;
        Entry& e = entries_[ref.slot];
        if (!e.queued)
            continue;
        e.queued = false;
        queuedCount_ -= 1;
        owner = e.owner;
        node = e.node;
        record = e.record;
        return e.status;
    }
    return kStatusNoMoreUpdates;
}

LoopClock::time_point LoopTable::freshDue() const
{
    if (freshRipe_)
        return LoopClock::time_point::min();
    return std::min(freshLast_ + freshQuietGap_, freshFirst_ + freshLongestWait_);
}

std::optional<LoopClock::time_point> LoopTable::nextDue() const
{
    std::optional<LoopClock::time_point> due;
    if (!fresh_.empty())
        due = freshDue();
    for (const Bucket& b : buckets_) {
        if (b.live == 0 || b.nextDue == LoopClock::time_point::max())
            continue;
        if (b.cursor > 0)
            return LoopClock::time_point::min();  // a cycle in progress goes on at once
        if (!due || b.nextDue < *due)
            due = b.nextDue;
    }
    return due;
}

void LoopTable::buildBlocks(std::vector<SlotRef>& refs, std::size_t maxBlock, LoopWork& work) const
{
    std::sort(refs.begin(), refs.end(), [this](const SlotRef& a, const SlotRef& b) {
        const Entry& x = entries_[a.slot];
        const Entry& y = entries_[b.slot];
        if (x.node != y.node)
            return x.node < y.node;
        if (x.record.menu != y.record.menu)
            return x.record.menu < y.record.menu;
        return x.record.parameter < y.record.parameter;
    });
    LoopWork::Block* block = nullptr;
    for (const SlotRef& ref : refs) {
        const Entry& e = entries_[ref.slot];
        const LONG parameter = e.record.parameter;
        const bool fits = block && block->node == e.node && block->menu == e.record.menu &&
                          parameter <= block->firstParameter + static_cast<LONG>(block->count) &&
                          (parameter < block->firstParameter + static_cast<LONG>(block->count) || block->count < maxBlock);
        if (!fits) {
            work.blocks.push_back({e.node, e.record.menu, parameter, 0, work.readingCount,
                                   static_cast<std::uint32_t>(work.items.size()), 0});
            block = &work.blocks.back();
        }
        const std::uint32_t offset = static_cast<std::uint32_t>(parameter - block->firstParameter);
        if (offset == block->count) {
            block->count += 1;
            work.readingCount += 1;
        }
        work.items.push_back({ref.slot, ref.generation, block->firstReading + offset});
        block->endItem = static_cast<std::uint32_t>(work.items.size());
    }
}

bool LoopTable::takeWork(LoopClock::time_point now, std::size_t maxBlock, std::size_t maxReadings, LoopWork& work)
{
    work.clear();
    scratch_.clear();
    if (maxBlock == 0)
        maxBlock = 1;

    Bucket* due = nullptr;
    for (Bucket& b : buckets_) {
        if (b.live == 0 && b.cursor == 0)
            continue;
        if (b.cursor > 0 || b.nextDue <= now) {
            if (!due || b.cursor > 0 || b.nextDue < due->nextDue)
                due = &b;
            if (b.cursor > 0)
                break;
        }
    }
    // Gathering ends once a cycle is due, as the worker reads anyway: new entries go
    // first, as they did before there was gathering. Otherwise the cycle would read one
    // and its first reading come after, a second update that a drain may already have
    // passed.
    if (!fresh_.empty() && (due || freshDue() <= now)) {
        const std::size_t n = std::min(fresh_.size(), maxReadings);
        for (std::size_t i = 0; i < n; ++i) {
            if (current(fresh_[i]))
                scratch_.push_back(fresh_[i]);
        }
        fresh_.erase(fresh_.begin(), fresh_.begin() + static_cast<std::ptrdiff_t>(n));
        // The rest of a longer list keeps the time of its first: it is as due as this slice.
        if (fresh_.empty())
            freshRipe_ = false;
        buildBlocks(scratch_, maxBlock, work);
        return true;
    }

    if (!due)
        return false;

    Bucket& b = *due;
    if (b.cursor == 0) {
        // A new cycle: drop removed members, and order by menu and parameter so that
        // slices cut the bucket into contiguous blocks.
        if (b.members.size() > b.live) {
            std::erase_if(b.members, [this](const SlotRef& r) { return !current(r); });
        }
        if (!b.sorted) {
            std::sort(b.members.begin(), b.members.end(), [this](const SlotRef& x, const SlotRef& y) {
                const ParameterRecord& p = entries_[x.slot].record;
                const ParameterRecord& q = entries_[y.slot].record;
                return p.menu != q.menu ? p.menu < q.menu : p.parameter < q.parameter;
            });
            b.sorted = true;
        }
    }
    const std::size_t end = std::min(b.members.size(), b.cursor + maxReadings);
    for (std::size_t i = b.cursor; i < end; ++i) {
        if (current(b.members[i]))
            scratch_.push_back(b.members[i]);
    }
    b.cursor = end;
    if (b.cursor >= b.members.size()) {
        b.cursor = 0;
        const LoopClock::time_point following = dueAfter(b.nextDue, b.rateMs);
        // A loop that falls behind skips the missed cycles instead of running them all.
        b.nextDue = following <= now ? dueAfter(now, b.rateMs) : following;
    }
    buildBlocks(scratch_, maxBlock, work);
    return true;
}

bool LoopTable::apply(const LoopWork& work, const std::vector<LONG>& blockStatus,
                      const std::vector<ParameterReading>& readings)
{
    const bool wasEmpty = queuedCount_ == 0;
    for (std::size_t bi = 0; bi < work.blocks.size(); ++bi) {
        const LoopWork::Block& block = work.blocks[bi];
        const LONG failed = bi < blockStatus.size() ? blockStatus[bi] : kStatusBadReply;
        for (std::uint32_t ii = block.firstItem; ii < block.endItem; ++ii) {
            const LoopWork::Item& item = work.items[ii];
            if (!current({item.slot, item.generation}))
                continue;
            Entry& e = entries_[item.slot];
            e.record.readTick = static_cast<LONG>(work.readTick);
            if (failed != kStatusOk) {
                e.status = failed;
            } else if (item.reading >= readings.size()) {
                e.status = kStatusBadReply;
            } else {
                const ParameterReading& r = readings[item.reading];
                e.status = loopStatus(r.status);
                if (r.status == kStatusOk) {
                    e.record.value = r.value;
                    e.record.decimalPlaces = r.decimalPlaces;
                    e.record.floatValue = r.value / decimalScale(r.decimalPlaces);
                }
            }
            if (!e.queued) {
                e.queued = true;
                queuedCount_ += 1;
                queue_.push_back({item.slot, item.generation});
            }
        }
    }
    return wasEmpty && queuedCount_ > 0;
}

void LoopTable::makeAllDue(LoopClock::time_point now)
{
    freshRipe_ = !fresh_.empty();
    for (Bucket& b : buckets_) {
        if (b.cursor == 0)
            b.nextDue = now;
    }
}

}  // namespace comms
