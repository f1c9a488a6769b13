#include "da/DaStatistics.h"

DaStatistics& DaStatistics::process()
{
    static DaStatistics statistics;
    return statistics;
}

void DaStatistics::raise(std::atomic<uint32_t>& maximum, uint32_t value)
{
    uint32_t seen = maximum.load(std::memory_order_relaxed);
    while (value > seen && !maximum.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

void DaStatistics::countRequest(DaRequestKind kind, bool write, HRESULT result, bool hasCache, DaQuality quality,
                                uint32_t elapsedMs)
{
    const bool refresh = kind == kDaRefreshReport;
    if (FAILED(result))
        add(write ? nrWriteFailed : nrReadFailed);
    else if (!write && (!hasCache || !TVCmnQuality::isGood(quality)))
        add(nrReadFailed);  // refresh entries too: a bad quality is a failed read for them
    bool timed = false;
    switch (kind) {
    case kDaAsyncCacheItem: add(nrACacheRead); break;
    case kDaAsyncDeviceItem:
    case kDaAsyncMaxAgeItem:
        add(write ? nrAWrite : nrADevRead);
        timed = true;
        break;
    case kDaSyncCacheItem: add(nrSCacheRead); break;
    case kDaSyncDeviceItem:
    case kDaSyncMaxAgeItem:
    case kDaServerDeviceRead:
    case kDaServerMaxAgeRead:
        add(write ? nrSWrite : nrSDevRead);
        timed = true;
        break;
    case kDaCyclicEntry:
        add(nrCycRead);
        timed = true;
        break;
    case kDaRefreshReport: add(nrChangeReport); break;
    default: break;
    }
    (void)refresh;
    if (!timed)
        return;
    if (write) {
        writeTimeSumMs_.fetch_add(elapsedMs, std::memory_order_relaxed);
        raise(counters_[maxWriteTime], elapsedMs);
    } else {
        readTimeSumMs_.fetch_add(elapsedMs, std::memory_order_relaxed);
        raise(counters_[maxReadTime], elapsedMs);
    }
}

std::vector<std::pair<std::string, uint32_t>> DaStatistics::report()
{
    uint32_t values[kCounterCount];
    for (int i = 0; i < kCounterCount; ++i)
        values[i] = counters_[i].exchange(0, std::memory_order_relaxed);
    const uint64_t readSum = readTimeSumMs_.exchange(0, std::memory_order_relaxed);
    const uint64_t writeSum = writeTimeSumMs_.exchange(0, std::memory_order_relaxed);
    return reportOf(values, readSum, writeSum);
}

std::vector<std::pair<std::string, uint32_t>> DaStatistics::reportOf(const uint32_t (&values)[kCounterCount],
                                                                     uint64_t readSumMs, uint64_t writeSumMs)
{
    static const char* const kNames[kCounterCount] = {
        "DA-nrCycRead", "DA-nrChangeReport", "DA-nrACacheRead", "DA-nrADevRead", "DA-nrSDevRead",
        "DA-nrSCacheRead", "DA-nrAWrite", "DA-nrSWrite", "DA-nrReadFailed", "DA-nrWriteFailed",
        "DA-maxReadTime", "DA-maxWriteTime"};
    static const char* const kObjectNames[kObjectKindCount] = {
        "DA-nrServerObj", "DA-nrGroupObj", "DA-nrItemObj", "DA-nrNodeObj", "DA-nrTagObj", "DA-nrPropertyObj"};

    const uint64_t reads = uint64_t(values[nrADevRead]) + values[nrCycRead] + values[nrSDevRead];
    const uint64_t writes = uint64_t(values[nrAWrite]) + values[nrSWrite];
    std::vector<std::pair<std::string, uint32_t>> lines;
    for (int i = 0; i < kCounterCount; ++i)
        lines.emplace_back(kNames[i], values[i]);
    lines.emplace_back("DA-avReadTime", reads ? uint32_t(readSumMs / reads) : 0);
    lines.emplace_back("DA-avWriteTime", writes ? uint32_t(writeSumMs / writes) : 0);
    for (int i = 0; i < kObjectKindCount; ++i)
        lines.emplace_back(kObjectNames[i], uint32_t(daObjectCount(DaObjectKind(i))));
    return lines;
}
