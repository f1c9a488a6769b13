// Live engine objects by kind, for the statistics report ("DA-nrServerObj" ...): every
// constructor of a server, group, item, node, tag or property counts up and its
// destructor down. Kept with the address space, whose elements count without the
// engine being linked; one set per process, never reset.
#pragma once

#include <atomic>
#include <cstdint>

enum class DaObjectKind : int { server, group, item, node, tag, property, count };

inline std::atomic<int32_t> g_daObjectCounts[int(DaObjectKind::count)] = {};

inline void daObjectCreated(DaObjectKind kind)
{
    g_daObjectCounts[int(kind)].fetch_add(1, std::memory_order_relaxed);
}

inline void daObjectDestroyed(DaObjectKind kind)
{
    g_daObjectCounts[int(kind)].fetch_sub(1, std::memory_order_relaxed);
}

inline int32_t daObjectCount(DaObjectKind kind)
{
    return g_daObjectCounts[int(kind)].load(std::memory_order_relaxed);
}
