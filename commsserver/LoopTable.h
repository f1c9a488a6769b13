// The polling loop of one loop client: its entries, their read schedule and the queue
// of updates waiting for GetNextUpdate.
//
// Not thread-safe: CommsServer keeps one per loop client under its lock. The worker
// takes a slice of due work under that lock, reads the drives without it, and applies
// the readings under it again; entries removed or re-added in between are recognised
// by their generation and their readings dropped.
//
// Each entry is queued at most once: a newer reading replaces a queued one, so a slow
// drain never lets the queue grow beyond the number of entries.
//
// New entries may be gathered before their first reading until the adds pause: a client
// adding thousands of parameters one call at a time would otherwise have the worker, and
// then its own update thread, read and deliver each first reading while it is still
// adding, all of them taking turns on the same locks and cores as its calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

#include "commsserver/CommsBackend.h"

namespace comms {

using LoopClock = std::chrono::steady_clock;

// Rates below this are read at this rate: a bus cannot usefully poll faster.
constexpr ULONG kMinimumLoopRateMs = 10;

// A slice of reads: blocks of contiguous parameters of one node and menu, and the
// entries that each reading goes to (several entries may share one reading).
struct LoopWork {
    struct Block {
        std::uint32_t node = 0;
        LONG menu = 0;
        LONG firstParameter = 0;
        std::uint32_t count = 0;
        std::uint32_t firstReading = 0;  // index into the readings of the slice
        std::uint32_t firstItem = 0, endItem = 0;
    };
    struct Item {
        std::uint32_t slot = 0;
        std::uint32_t generation = 0;
        std::uint32_t reading = 0;
    };
    std::vector<Block> blocks;
    std::vector<Item> items;
    std::uint32_t readingCount = 0;
    // GetTickCount just before the slice's reads: the readTick of every update it
    // queues, so that the server can order them against its direct requests.
    std::uint32_t readTick = 0;

    void clear()
    {
        blocks.clear();
        items.clear();
        readingCount = 0;
    }
};

class LoopTable {
public:
    // Adds an entry, or changes the rate of an existing one; either way the entry is
    // read at once and then every rateMs (kLoopRateNeverMs: never again).
    LONG add(ULONGLONG owner, std::uint32_t node, const ParameterRecord& record, ULONG rateMs, LoopClock::time_point now);
    LONG remove(ULONGLONG owner, std::uint32_t node, LONG menu, LONG parameter);

    // The oldest queued update: its status (kStatusOk for data) and entry, or
    // kStatusNoMoreUpdates.
    LONG next(ULONGLONG& owner, std::uint32_t& node, ParameterRecord& record);

    std::size_t entryCount() const { return index_.size(); }
    // Entries added and not read yet (some may have been removed since).
    std::size_t freshCount() const { return fresh_.size(); }
    // New entries are read once no other was added for quietGap, or once the first of
    // them has waited longestWait, whichever comes first. Both 0, the default: at the
    // worker's next look.
    void setFreshGather(LoopClock::duration quietGap, LoopClock::duration longestWait)
    {
        freshQuietGap_ = quietGap;
        freshLongestWait_ = longestWait;
    }
    std::size_t queuedCount() const { return queuedCount_; }

    // When the worker should next look at this table, if ever.
    std::optional<LoopClock::time_point> nextDue() const;
    // Takes up to maxReadings reads that are due (new entries first), in blocks of at
    // most maxBlock parameters. False when nothing is due.
    bool takeWork(LoopClock::time_point now, std::size_t maxBlock, std::size_t maxReadings, LoopWork& work);
    // Applies the readings of a slice (blockStatus: one per block). True when the queue
    // went from empty to non-empty, i.e. the client must be told.
    bool apply(const LoopWork& work, const std::vector<LONG>& blockStatus, const std::vector<ParameterReading>& readings);
    // Every entry due now (a test or a "refresh all" request).
    void makeAllDue(LoopClock::time_point now);

private:
    struct Key {
        ULONGLONG owner;
        std::uint32_t node;
        LONG menu;
        LONG parameter;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept
        {
            std::uint64_t h = k.owner * 0x9E3779B97F4A7C15ull;
            h ^= (std::uint64_t(k.node) << 40) ^ (std::uint64_t(std::uint32_t(k.menu)) << 20) ^ std::uint32_t(k.parameter);
            return static_cast<std::size_t>(h ^ (h >> 29));
        }
    };
    struct Entry {
        ULONGLONG owner = 0;
        std::uint32_t node = 0;
        std::uint32_t generation = 0;
        std::uint32_t bucket = 0;
        bool live = false;
        bool queued = false;
        LONG status = kStatusOk;  // of the queued update
        ParameterRecord record{};  // as added, with the latest value read
    };
    struct SlotRef {
        std::uint32_t slot;
        std::uint32_t generation;
    };
    struct Bucket {
        std::uint32_t node = 0;
        ULONG rateMs = 0;
        LoopClock::time_point nextDue;
        std::vector<SlotRef> members;  // may hold removed entries until the next cycle
        std::size_t live = 0;
        std::size_t cursor = 0;        // position within the current cycle
        bool sorted = true;
    };

    bool current(const SlotRef& ref) const;
    LoopClock::time_point freshDue() const;
    void buildBlocks(std::vector<SlotRef>& refs, std::size_t maxBlock, LoopWork& work) const;

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> freeSlots_;
    std::unordered_map<Key, std::uint32_t, KeyHash> index_;
    std::vector<Bucket> buckets_;
    std::vector<SlotRef> fresh_;          // added, not read yet
    LoopClock::time_point freshFirst_{};  // when the first of fresh_ was added
    LoopClock::time_point freshLast_{};   // when the last was
    bool freshRipe_ = false;              // fresh_ read at the next look whatever their age
    LoopClock::duration freshQuietGap_{};
    LoopClock::duration freshLongestWait_{};
    std::deque<SlotRef> queue_;           // may hold stale references, skipped by next()
    std::size_t queuedCount_ = 0;         // entries with queued set
    std::vector<SlotRef> scratch_;
};

}  // namespace comms
