#include "opc/DaLocale.h"

#include <algorithm>
#include <cstring>

#include "opc/DaErrorText.h"
#include "trace/TVCmnTrace.h"

std::vector<LCID> daAvailableLocaleIds(LCID systemDefault, LCID userDefault)
{
    std::vector<LCID> ids = {kDaLocaleSystemDefault, kDaLocaleUserDefault, kDaLocaleNeutral,
                             kDaLanguageEnglish,     kDaLanguageGerman,    kDaLanguageSwedish};
    for (LCID machineDefault : {systemDefault, userDefault}) {
        if (std::find(ids.begin(), ids.end(), machineDefault) == ids.end()) ids.push_back(machineDefault);
    }
    return ids;
}

std::vector<LCID> daAvailableLocaleIds()
{
    return daAvailableLocaleIds(GetSystemDefaultLCID(), GetUserDefaultLCID());
}

bool daLocaleSupported(LCID lcid)
{
    std::vector<LCID> ids = daAvailableLocaleIds();
    return std::find(ids.begin(), ids.end(), lcid) != ids.end();
}

HRESULT daQueryAvailableLocaleIds(DWORD* pdwCount, LCID** ppLcids)
{
    if (pdwCount) *pdwCount = 0;
    if (ppLcids) *ppLcids = nullptr;
    if (!pdwCount || !ppLcids) return E_INVALIDARG;
    std::vector<LCID> ids = daAvailableLocaleIds();
    *pdwCount = static_cast<DWORD>(ids.size());
    auto* array = static_cast<LCID*>(CoTaskMemAlloc(sizeof(LCID) * ids.size()));
    if (!array) return E_OUTOFMEMORY;
    memcpy(array, ids.data(), sizeof(LCID) * ids.size());
    *ppLcids = array;
    return S_OK;
}

bool DaLocaleSetting::set(LCID lcid, const char* traceId)
{
    if (!daLocaleSupported(lcid)) {
        KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId, "can't set locale id to 0x%lX (LCID not supported)",
                 static_cast<unsigned long>(lcid));
        return false;
    }
    lcid_.store(lcid, std::memory_order_relaxed);
    return true;
}
