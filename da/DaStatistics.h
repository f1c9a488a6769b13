// Request counters of the engine ("DA-nrCycRead", "DA-maxReadTime", ...) and the live
// object counters, for the statistics report of the diagnostic window. Counted at each
// request completion from any thread, hence atomics; report() hands out the request
// counters with the averages and resets them. One set per process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "da/DaEngine.h"
#include "da/DaObjectCounts.h"

class DaStatistics {
public:
    enum Counter : int {
        nrCycRead, nrChangeReport, nrACacheRead, nrADevRead, nrSDevRead, nrSCacheRead, nrAWrite, nrSWrite,
        nrReadFailed, nrWriteFailed, maxReadTime, maxWriteTime, kCounterCount
    };
    // The order of DaObjectKind.
    enum ObjectKind : int { serverObj, groupObj, itemObj, nodeObj, tagObj, propertyObj, kObjectKindCount };

    static DaStatistics& process();

    // One completed request: its kind, whether it writes, its result, the cache quality
    // it saw (or none), and its time in ms.
    void countRequest(DaRequestKind kind, bool write, HRESULT result, bool hasCache, DaQuality quality,
                      uint32_t elapsedMs);
    // Synchronous cache reads answered without a request; 'failed' of them failed or
    // carried a quality that is not GOOD.
    void countCacheReads(uint32_t served, uint32_t failed)
    {
        counters_[nrSCacheRead].fetch_add(served, std::memory_order_relaxed);
        if (failed)
            counters_[nrReadFailed].fetch_add(failed, std::memory_order_relaxed);
    }
    // Name and value of every counter in report order, averages included, then the
    // object counters; the request counters and time sums start again from 0.
    std::vector<std::pair<std::string, uint32_t>> report();
    // The same report from counter values and time sums that a listener took apart
    // (its own differences since its previous report).
    static std::vector<std::pair<std::string, uint32_t>> reportOf(const uint32_t (&values)[kCounterCount],
                                                                  uint64_t readSumMs, uint64_t writeSumMs);
    uint32_t value(Counter counter) const { return counters_[counter].load(std::memory_order_relaxed); }
    // The sums behind the averages, for listeners that keep their own starting points.
    uint64_t readTimeSumMs() const { return readTimeSumMs_.load(std::memory_order_relaxed); }
    uint64_t writeTimeSumMs() const { return writeTimeSumMs_.load(std::memory_order_relaxed); }

    void objectCreated(ObjectKind kind) { daObjectCreated(DaObjectKind(kind)); }
    void objectDestroyed(ObjectKind kind) { daObjectDestroyed(DaObjectKind(kind)); }
    int32_t objects(ObjectKind kind) const { return daObjectCount(DaObjectKind(kind)); }

private:
    void add(Counter counter) { counters_[counter].fetch_add(1, std::memory_order_relaxed); }
    static void raise(std::atomic<uint32_t>& maximum, uint32_t value);

    std::atomic<uint32_t> counters_[kCounterCount] = {};
    std::atomic<uint64_t> readTimeSumMs_{0};
    std::atomic<uint64_t> writeTimeSumMs_{0};
};
