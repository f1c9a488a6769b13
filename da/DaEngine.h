// Internal header of the DA engine (server objects, groups, items, caches, transactions,
// requests, the work thread and the client callbacks): the protocol numbers they share,
// the engine clock and the lock order. The OPC interface layer includes the class
// headers (DaServer.h, DaGroup.h, ...), which include this one.
//
// Lock order (a lock on the left may be held while taking one on its right, never the
// other way round):
//
//   DaObjectRoot -> DaServer -> DaGroup -> DaTransaction -> DaItem -> DaRequest -> DaCache
//                                                                              -> DaTag
//
// No engine lock is held while a client sink is called, while a tag hook runs
// (onItemActivated, handleRequest, queueRequest, ...) or while another object traces:
// the engine collects what it needs under the lock, lets go, then calls out. Tag hooks
// may call back into requests (complete) and caches, which is why they run unlocked.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/TVCmnQuality.h"
#include "common/TVCmnTick.h"
#include "da/DaTypes.h"
#include "platform/win.h"

// Result codes the engine answers besides those of DaTypes.h.
#ifndef OPC_E_INVALIDHANDLE
#define OPC_E_INVALIDHANDLE ((HRESULT)0xC0040001L)
#endif
#ifndef OPC_E_UNKNOWNPATH
#define OPC_E_UNKNOWNPATH ((HRESULT)0xC004000AL)
#endif
#ifndef OPC_S_UNSUPPORTEDRATE
#define OPC_S_UNSUPPORTEDRATE ((HRESULT)0x0004000DL)
#endif
#ifndef OPC_S_INUSE
#define OPC_S_INUSE ((HRESULT)0x0004000FL)
#endif
#ifndef OPC_E_NOTSUPPORTED
#define OPC_E_NOTSUPPORTED ((HRESULT)0xC0040406L)
#endif
#ifndef OPC_E_DEADBANDNOTSET
#define OPC_E_DEADBANDNOTSET ((HRESULT)0xC0040400L)
#endif
#ifndef OPC_E_DEADBANDNOTSUPPORTED
#define OPC_E_DEADBANDNOTSUPPORTED ((HRESULT)0xC0040401L)
#endif

using DaQuality = uint16_t;

inline constexpr DaQuality kDaQualityGood = TVCmnQuality::kGood;
inline constexpr DaQuality kDaQualityBad = TVCmnQuality::kBad;
inline constexpr DaQuality kDaQualityUncertain = TVCmnQuality::kUncertain;
inline constexpr DaQuality kDaQualityConfigError = TVCmnQuality::kBadConfigurationError;
inline constexpr DaQuality kDaQualityLastKnown = TVCmnQuality::kBadLastKnownValue;
inline constexpr DaQuality kDaQualityCommFailure = TVCmnQuality::kBadCommFailure;
inline constexpr DaQuality kDaQualityOutOfService = TVCmnQuality::kBadOutOfService;
inline constexpr DaQuality kDaQualityWaitingForInitialData = TVCmnQuality::kBadWaitingForInitialData;
inline constexpr DaQuality kDaQualityLastUsable = TVCmnQuality::kUncertainLastUsableValue;

// The LCID under which the engine converts values for itself (LOCALE_SYSTEM_DEFAULT).
inline constexpr LCID kDaEngineLcid = 0x800;
// Group defaults.
inline constexpr LCID kDaDefaultGroupLcid = 0x800;
inline constexpr uint32_t kDaDefaultMinimumUpdateRateMs = 20;
inline constexpr uint32_t kDaDefaultMinimumKeepAliveMs = 20;
// Below this rate a group is not scheduled by time (see DaGroup::isCycleDue).
inline constexpr uint32_t kDaFastCycleLimitMs = 10;
// From this rate on the early start is not applied.
inline constexpr uint32_t kDaEarlyStartRateLimitMs = 200000;
// Item deadband that is not set (the group's applies).
inline constexpr float kDaNoItemDeadband = -1.0f;
// No time-out for requests (servers made by the engine's own createServer).
inline constexpr uint32_t kDaNoTimeout = 0xFFFFFFFF;
// Max age that accepts any cached value.
inline constexpr uint32_t kDaAnyAge = 0xFFFFFFFF;

// Transaction kinds.
enum class DaTransactionKind : uint8_t {
    asyncRead = 0x11,
    syncRead = 0x12,
    serverRead = 0x14,
    asyncWrite = 0x21,
    syncWrite = 0x22,
    serverWrite = 0x24,
    polledRefresh = 0x30,
    refresh = 0x50,
    cyclic = 0x90,
};
const char* daTransactionKindText(DaTransactionKind kind);

// Connection types of a transaction: which client connections its results go to.
enum class DaConnectionType : uint8_t {
    v1 = 0,     // IDataObject / IAdviseSink client
    v2 = 1,     // IOPCDataCallback client
    sync = 2,   // answered to the calling thread
    xml = 3,
    all = 4,    // every callback connection of the group
};
const char* daConnectionTypeText(DaConnectionType type);

// Request kinds: bit 0x0001 device, 0x0002 cache, 0x0004 synchronous, 0x0008
// asynchronous, 0x0010 max-age, 0x0100 polled, 0x1000 item level, 0x2000 server level,
// 0x4000 report, 0x8000 cyclic.
using DaRequestKind = uint16_t;
inline constexpr DaRequestKind kDaRequestDevice = 0x0001;
inline constexpr DaRequestKind kDaRequestCache = 0x0002;
inline constexpr DaRequestKind kDaRequestMaxAge = 0x0010;
inline constexpr DaRequestKind kDaSyncDeviceItem = 0x1005;
inline constexpr DaRequestKind kDaSyncCacheItem = 0x1006;
inline constexpr DaRequestKind kDaAsyncDeviceItem = 0x1009;
inline constexpr DaRequestKind kDaAsyncCacheItem = 0x100A;
inline constexpr DaRequestKind kDaPolledRefreshItem = 0x110A;
inline constexpr DaRequestKind kDaSyncMaxAgeItem = 0x1014;
inline constexpr DaRequestKind kDaAsyncMaxAgeItem = 0x1018;
inline constexpr DaRequestKind kDaReportKind = 0x120A;
inline constexpr DaRequestKind kDaServerDeviceRead = 0x2005;
inline constexpr DaRequestKind kDaForwardRequest = 0x2009;
inline constexpr DaRequestKind kDaServerMaxAgeRead = 0x2014;
inline constexpr DaRequestKind kDaRefreshReport = 0x5009;
inline constexpr DaRequestKind kDaCyclicEntry = 0x9009;

// Request handling codes answered by DaTag::getRequestHandling.
inline constexpr uint32_t kDaHandleByTag = 1;       // handleRequest
inline constexpr uint32_t kDaHandleQueue = 2;       // queueRequest for device IO
inline constexpr uint32_t kDaHandleFromCache = 3;
inline constexpr uint32_t kDaHandleBatch = 4;       // the transaction's batch hook
inline constexpr uint32_t kDaHandleFromCache2 = 5;
inline constexpr uint32_t kDaHandleOwn = 6;         // the request's own handler

// Result codes of a failed callback that mean the client is gone: RPC server
// unavailable, call failed, call failed (did not execute), the object was
// disconnected, and the two apartment/connection losses.
inline constexpr HRESULT kDaDeadClientCodes[] = {
    (HRESULT)0x800706BA, (HRESULT)0x800706BE, (HRESULT)0x800706BF,
    (HRESULT)0x80010100, (HRESULT)0x80010108, (HRESULT)0x80010114,
};
constexpr bool daIsDeadClientCode(HRESULT hr)
{
    for (HRESULT code : kDaDeadClientCodes)
        if (code == hr)
            return true;
    return false;
}

// The engine clock: 32-bit tick counts for scheduling, FILETIME (as 100 ns units since
// 1601, UTC) for value timestamps and keep-alive ages. Tests replace both with a clock
// of their own so that schedules can be checked tick by tick.
struct DaClock {
    using TickSource = uint32_t (*)();
    using TimeSource = uint64_t (*)();
    static uint32_t tick();
    static uint64_t now();
    // Null restores the system clock.
    static void setSources(TickSource tick, TimeSource time);
};

inline uint64_t daFileTimeToUint(const FILETIME& ft)
{
    return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME daUintToFileTime(uint64_t value)
{
    FILETIME ft;
    ft.dwLowDateTime = DWORD(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = DWORD(value >> 32);
    return ft;
}
inline constexpr uint64_t kDaFileTimeUnitsPerMs = 10000;

// The Windows SDK declares the sources of VariantCopy and VariantChangeTypeEx without
// const; they are only read.
inline VARIANT* daSource(const VARIANT& value) { return const_cast<VARIANT*>(&value); }

// VARIANT comparison of the change test: same type and same value (texts and arrays
// by content).
bool daVariantEqual(const VARIANT& a, const VARIANT& b);

class DaTag;
// A new value (or, with value null, the cached one again) from the device side: stored
// in the tag's cache with quality and timestamp (now when null), then the tag's items
// are told. The answer is the number of items connected to the tag.
int daUpdateTagValue(DaTag& tag, const VARIANT* value, uint16_t quality, const FILETIME* timestamp,
                     HRESULT result = S_OK);
