// The locale IDs an OPC server object accepts and the one it is set to: what
// IOPCCommon::SetLocaleID, GetLocaleID and QueryAvailableLocaleIDs and the group's
// SetState(pLCID) rely on. Used by DaServer's overridable operations.
#pragma once

#include <atomic>
#include <vector>

#include "platform/win.h"

inline constexpr LCID kDaLocaleSystemDefault = 0x800;
inline constexpr LCID kDaLocaleUserDefault = 0x400;
inline constexpr LCID kDaLocaleNeutral = 0;
inline constexpr size_t kDaMaxLocaleIds = 8;

// 0x800, 0x400, 0, 1033, 1031, 1053, then the system's and the user's default LCID
// when not already listed.
std::vector<LCID> daAvailableLocaleIds(LCID systemDefault, LCID userDefault);
// The same with this machine's defaults.
std::vector<LCID> daAvailableLocaleIds();

// Exactly one of the available locale IDs (all 32 bits compared).
bool daLocaleSupported(LCID lcid);

// QueryAvailableLocaleIDs for a COM client: either pointer null → E_INVALIDARG (the
// other set to 0 or null first); otherwise the count, and a task-allocated array of
// the IDs (E_OUTOFMEMORY, with the count already set, when that fails).
HRESULT daQueryAvailableLocaleIds(DWORD* pdwCount, LCID** ppLcids);

// The locale ID of one server object: 0x800 until a supported one is set.
class DaLocaleSetting {
public:
    LCID lcid() const { return lcid_.load(std::memory_order_relaxed); }
    // False, with the trace line "can't set locale id to 0x%lX (LCID not supported)"
    // (info, group OPC, traceId) and the locale unchanged, for an unsupported LCID.
    bool set(LCID lcid, const char* traceId);

private:
    std::atomic<LCID> lcid_{kDaLocaleSystemDefault};
};
