// The server COM object's address-space methods: IOPCBrowseServerAddressSpace and
// IOPCItemProperties.
#include <olectl.h>

#include <algorithm>
#include <vector>

#include "common/TVCmnString.h"
#include "da/DaObjectRoot.h"
#include "da/DaTag.h"
#include "opc/DaEntry.h"
#include "opc/DaOpcCall.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTrace.h"

namespace {

// Standard property IDs read through the tag's cache.
constexpr DWORD kPropertyValue = 2;
constexpr DWORD kPropertyQuality = 3;
constexpr DWORD kPropertyTimestamp = 4;
// IDs below this have no item IDs of their own.
constexpr DWORD kFirstPropertyWithItemId = 100;

std::wstring wide(const std::string& text) { return TVCmnString::ansiToWide(text); }

DaRef<DaTag> findTag(const char* traceId, LPCWSTR itemId, HRESULT& error)
{
    DaRef<DaNamespaceRoot> root = DaEntry::instance().objectRoot()->namespaceRoot(0);
    DaRef<DaTag> tag = root ? root->findTag(daTextFromClient(itemId)) : nullptr;
    error = tag ? S_OK : OPC_E_UNKNOWNITEMID;
    return tag;
}

HRESULT readCachedProperty(DaTag& tag, DWORD id, VARIANT* value)
{
    DaRef<DaCache> cache = tag.getCache();
    if (!cache)
        return E_FAIL;
    switch (id) {
    case kPropertyValue:
        return cache->getValue(value, VT_EMPTY, kDaEngineLcid);
    case kPropertyQuality:
        value->vt = VT_I2;
        value->iVal = static_cast<SHORT>(cache->getQuality());
        return S_OK;
    case kPropertyTimestamp: {
        FILETIME ft = cache->getTimestamp();
        SYSTEMTIME st;
        if (!FileTimeToSystemTime(&ft, &st))
            return E_FAIL;
        value->vt = VT_DATE;
        return SystemTimeToVariantTime(&st, &value->date) ? S_OK : E_FAIL;
    }
    default:
        return E_FAIL;
    }
}

// The value of one property as IOPCItemProperties and IOPCBrowse read it.
HRESULT readProperty(DaTag& tag, DWORD id, VARIANT* value)
{
    HRESULT hr = DaTag::readsThroughTag(id) ? readCachedProperty(tag, id, value) : tag.getPropertyValue(id, 0.0f, value);
    if (FAILED(hr))
        VariantClear(value);
    return hr;
}

void freeItemProperties(OPCITEMPROPERTIES& properties)
{
    for (DWORD i = 0; properties.pItemProperties && i < properties.dwNumProperties; ++i) {
        OPCITEMPROPERTY& property = properties.pItemProperties[i];
        CoTaskMemFree(property.szItemID);
        CoTaskMemFree(property.szDescription);
        VariantClear(&property.vValue);
    }
    CoTaskMemFree(properties.pItemProperties);
    properties = {};
}

// One item's OPCITEMPROPERTIES (IOPCBrowse::GetProperties and Browse): every property
// of the tag when no IDs are given, else the requested ones (OPC_E_INVALID_PID for an
// ID the tag lacks); values only when asked. hrErrorID is S_FALSE when a property
// failed. E_OUTOFMEMORY leaves `out` empty.
HRESULT fillItemProperties(DaTag& tag, bool withValues, DWORD count, const DWORD* ids, OPCITEMPROPERTIES& out)
{
    std::vector<DaPropertyInfo> list;
    tag.getPropertyList(true, true, list);
    std::vector<DWORD> wanted;
    if (count == 0 || !ids) {
        for (const DaPropertyInfo& info : list)
            wanted.push_back(info.id);
    } else {
        wanted.assign(ids, ids + count);
    }
    DaOpcOut<OPCITEMPROPERTY> properties;
    if (!properties.allocate(wanted.size()))
        return E_OUTOFMEMORY;
    out = {};
    out.dwNumProperties = static_cast<DWORD>(wanted.size());
    out.pItemProperties = properties.release();
    const char delimiter = DaEntry::instance().objectRoot()->namespaceRoot(0)->pathDelimiter();
    bool anyFailed = false;
    for (size_t i = 0; i < wanted.size(); ++i) {
        OPCITEMPROPERTY& property = out.pItemProperties[i];
        property.dwPropertyID = wanted[i];
        auto info = std::find_if(list.begin(), list.end(), [&](const DaPropertyInfo& p) { return p.id == wanted[i]; });
        DaRef<DaProperty> child = wanted[i] >= kFirstPropertyWithItemId ? tag.findProperty(wanted[i]) : nullptr;
        property.szDescription = daTextForClient(info != list.end() ? info->description : std::string());
        property.szItemID = daTextForClient(child ? child->itemId(delimiter) : std::string());
        if (!property.szDescription || !property.szItemID) {
            freeItemProperties(out);
            return E_OUTOFMEMORY;
        }
        if (info == list.end()) {
            property.hrErrorID = OPC_E_INVALID_PID;
        } else {
            property.vtDataType = info->datatype;
            // A property that cannot be read carries its own error.
            if (withValues)
                property.hrErrorID = readProperty(tag, wanted[i], &property.vValue);
        }
        anyFailed = anyFailed || FAILED(property.hrErrorID);
    }
    out.hrErrorID = anyFailed ? S_FALSE : S_OK;
    return S_OK;
}

}  // namespace

// ---- IOPCBrowseServerAddressSpace ---------------------------------------------------

STDMETHODIMP DaOpcServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType)
{
    DaOpcCall call("IOPCBrowseServerAddressSpace::QueryOrganization", traceId());
    if (!pNameSpaceType)
        return call.done(E_INVALIDARG);
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return call.done(S_OK);
}

STDMETHODIMP DaOpcServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString)
{
    DaOpcCall call("IOPCBrowseServerAddressSpace::ChangeBrowsePosition", traceId());
    const bool empty = !szString || !*szString;
    if ((dwBrowseDirection == OPC_BROWSE_DOWN && empty) || (dwBrowseDirection == OPC_BROWSE_UP && (!szString || *szString)) ||
        (dwBrowseDirection != OPC_BROWSE_DOWN && dwBrowseDirection != OPC_BROWSE_UP && dwBrowseDirection != OPC_BROWSE_TO))
        return call.done(E_INVALIDARG);
    const std::string name = daTextFromClient(szString);
    KV_TRACE(kTraceDebug, kTraceGroupOpc, traceId(), "  direction: %u, name: %s",
             static_cast<unsigned>(dwBrowseDirection), name.c_str());
    std::lock_guard<std::mutex> hold(browseLock_);
    HRESULT hr = browse_.change(dwBrowseDirection, name);
    if (hr == OPC_E_INVALID_PID)
        hr = E_INVALIDARG;
    KV_TRACE(kTraceDebug, kTraceGroupOpc, traceId(), "  current browse path: %s", browse_.currentPath().c_str());
    return call.done(hr);
}

STDMETHODIMP DaOpcServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                           VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                           LPENUMSTRING* ppIEnumString)
{
    DaOpcCall call("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs", traceId());
    if (ppIEnumString)
        *ppIEnumString = nullptr;
    if (!ppIEnumString || dwBrowseFilterType < OPC_BRANCH || dwBrowseFilterType > OPC_FLAT || dwAccessRightsFilter > 3)
        return call.done(E_INVALIDARG);
    const std::string filter = daTextFromClient(szFilterCriteria);
    KV_TRACE(kTraceDebug, kTraceGroupOpc, traceId(), "  string filter: %s, data type filter: 0x%4.4X, access rights filter: %lu",
             filter.c_str(), static_cast<unsigned>(vtDataTypeFilter), static_cast<unsigned long>(dwAccessRightsFilter));
    std::vector<std::string> ids;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> hold(browseLock_);
        hr = browse_.browseItemIds(dwBrowseFilterType, szFilterCriteria ? filter.c_str() : nullptr, vtDataTypeFilter,
                                   dwAccessRightsFilter, ids);
    }
    if (FAILED(hr))
        return call.done(hr);
    KV_TRACE(kTraceDebug, kTraceGroupOpc, traceId(), "  item count: %lu", static_cast<unsigned long>(ids.size()));
    std::vector<std::wstring> texts;
    texts.reserve(ids.size());
    for (const std::string& id : ids)
        texts.push_back(wide(id));
    hr = daCreateStringEnumerator(std::move(texts), ppIEnumString);
    return call.done(FAILED(hr) ? hr : ids.empty() ? S_FALSE : S_OK);
}

STDMETHODIMP DaOpcServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID)
{
    DaOpcCall call("IOPCBrowseServerAddressSpace::GetItemID", traceId());
    if (szItemID)
        *szItemID = nullptr;
    if (!szItemDataID || !szItemID)
        return call.done(E_INVALIDARG);
    std::string itemId;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> hold(browseLock_);
        hr = browse_.getItemId(daTextFromClient(szItemDataID), itemId);
    }
    if (FAILED(hr))
        return call.done(E_INVALIDARG);
    *szItemID = daTextForClient(itemId);
    return call.done(*szItemID ? S_OK : E_OUTOFMEMORY);
}

STDMETHODIMP DaOpcServer::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString)
{
    DaOpcCall call("IOPCBrowseServerAddressSpace::BrowseAccessPaths", traceId());
    if (ppIEnumString)
        *ppIEnumString = nullptr;
    if (!ppIEnumString || !szItemID)
        return call.done(E_INVALIDARG);
    HRESULT error;
    if (!findTag(traceId(), szItemID, error))
        return call.done(E_INVALIDARG);
    // The drives' parameters are reached one way only: no tag has access paths.
    HRESULT hr = daCreateStringEnumerator({}, ppIEnumString);
    return call.done(FAILED(hr) ? hr : S_FALSE);
}

// ---- IOPCItemProperties -------------------------------------------------------------

STDMETHODIMP DaOpcServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                   LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes)
{
    DaOpcCall call("IOPCItemProperties::QueryAvailableProperties", traceId());
    if (pdwCount)
        *pdwCount = 0;
    if (ppPropertyIDs)
        *ppPropertyIDs = nullptr;
    if (ppDescriptions)
        *ppDescriptions = nullptr;
    if (ppvtDataTypes)
        *ppvtDataTypes = nullptr;
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes || !szItemID)
        return call.done(E_INVALIDARG);
    HRESULT error;
    DaRef<DaTag> tag = findTag(traceId(), szItemID, error);
    if (!tag)
        return call.done(error);
    std::vector<DaPropertyInfo> list;
    tag->getPropertyList(true, true, list);
    const DWORD count = static_cast<DWORD>(list.size());
    DaOpcOut<DWORD> ids;
    DaOpcOut<LPWSTR> descriptions;
    DaOpcOut<VARTYPE> types;
    if (!ids.allocate(count) || !descriptions.allocate(count) || !types.allocate(count))
        return call.done(E_OUTOFMEMORY);
    for (DWORD i = 0; i < count; ++i) {
        ids[i] = list[i].id;
        types[i] = list[i].datatype;
        descriptions[i] = daTextForClient(list[i].description);
        if (!descriptions[i]) {
            for (DWORD k = 0; k < i; ++k)
                CoTaskMemFree(descriptions[k]);
            return call.done(E_OUTOFMEMORY);
        }
    }
    *pdwCount = count;
    *ppPropertyIDs = ids.release();
    *ppDescriptions = descriptions.release();
    *ppvtDataTypes = types.release();
    return call.done(S_OK);
}

STDMETHODIMP DaOpcServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                            VARIANT** ppvData, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemProperties::GetItemProperties", traceId());
    if (ppvData)
        *ppvData = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (!ppvData || !ppErrors || FAILED(daCheckArray(dwCount, pdwPropertyIDs)) || !szItemID)
        return call.done(E_INVALIDARG);
    HRESULT error;
    DaRef<DaTag> tag = findTag(traceId(), szItemID, error);
    if (!tag)
        return call.done(error);
    DaOpcOut<VARIANT> values;
    DaOpcOut<HRESULT> errors;
    if (!values.allocate(dwCount) || !errors.allocate(dwCount))
        return call.done(E_OUTOFMEMORY);
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
        const DWORD id = pdwPropertyIDs[i];
        errors[i] = tag->hasProperty(id) ? readProperty(*tag, id, &values[i]) : OPC_E_INVALID_PID;
        anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppvData = values.release();
    *ppErrors = errors.release();
    return call.done(anyFailed ? S_FALSE : S_OK);
}

STDMETHODIMP DaOpcServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                        LPWSTR** ppszNewItemIDs, HRESULT** ppErrors)
{
    DaOpcCall call("IOPCItemProperties::LookupItemIDs", traceId());
    if (ppszNewItemIDs)
        *ppszNewItemIDs = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (!ppszNewItemIDs || !ppErrors || FAILED(daCheckArray(dwCount, pdwPropertyIDs)) || !szItemID)
        return call.done(E_INVALIDARG);
    if (!*szItemID)
        return call.done(OPC_E_INVALIDITEMID);
    HRESULT error;
    DaRef<DaTag> tag = findTag(traceId(), szItemID, error);
    if (!tag)
        return call.done(error);
    DaOpcOut<LPWSTR> ids;
    DaOpcOut<HRESULT> errors;
    if (!ids.allocate(dwCount) || !errors.allocate(dwCount))
        return call.done(E_OUTOFMEMORY);
    bool anyFailed = false;
    const char delimiter = DaEntry::instance().objectRoot()->namespaceRoot(0)->pathDelimiter();
    for (DWORD i = 0; i < dwCount; ++i) {
        const DWORD id = pdwPropertyIDs[i];
        DaRef<DaProperty> property = id >= kFirstPropertyWithItemId ? tag->findProperty(id) : nullptr;
        if (!property) {
            errors[i] = OPC_E_INVALID_PID;
        } else {
            ids[i] = daTextForClient(property->itemId(delimiter));
            errors[i] = ids[i] ? S_OK : E_OUTOFMEMORY;
        }
        anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppszNewItemIDs = ids.release();
    *ppErrors = errors.release();
    return call.done(anyFailed ? S_FALSE : S_OK);
}

// ---- IOPCBrowse ---------------------------------------------------------------------

STDMETHODIMP DaOpcServer::GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                                        DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                                        OPCITEMPROPERTIES** ppItemProperties)
{
    DaOpcCall call("IOPCBrowse::GetProperties", traceId());
    if (ppItemProperties)
        *ppItemProperties = nullptr;
    if (FAILED(daCheckArray(dwItemCount, pszItemIDs)) || !ppItemProperties)
        return call.done(E_INVALIDARG);
    DaOpcOut<OPCITEMPROPERTIES> out;
    if (!out.allocate(dwItemCount))
        return call.done(E_OUTOFMEMORY);
    bool anyFailed = false;
    for (DWORD i = 0; i < dwItemCount; ++i) {
        HRESULT error;
        DaRef<DaTag> tag = pszItemIDs[i] ? findTag(traceId(), pszItemIDs[i], error) : nullptr;
        if (!tag) {
            out[i].hrErrorID = OPC_E_UNKNOWNITEMID;
        } else if (FAILED(fillItemProperties(*tag, bReturnPropertyValues != FALSE, dwPropertyCount, pdwPropertyIDs,
                                             out[i]))) {
            for (DWORD k = 0; k < i; ++k)
                freeItemProperties(out[k]);
            return call.done(E_OUTOFMEMORY);
        }
        anyFailed = anyFailed || out[i].hrErrorID != S_OK;
    }
    *ppItemProperties = out.release();
    return call.done(anyFailed ? S_FALSE : S_OK);
}

STDMETHODIMP DaOpcServer::Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                 OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                                 BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                 DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                                 OPCBROWSEELEMENT** ppBrowseElements)
{
    DaOpcCall call("IOPCBrowse::Browse", traceId());
    if (pdwCount)
        *pdwCount = 0;
    if (ppBrowseElements)
        *ppBrowseElements = nullptr;
    if (pbMoreElements)
        *pbMoreElements = FALSE;
    if (!pszContinuationPoint || !pbMoreElements || !pdwCount || !ppBrowseElements ||
        dwBrowseFilter < OPC_BROWSE_FILTER_ALL || dwBrowseFilter > OPC_BROWSE_FILTER_ITEMS)
        return call.done(E_INVALIDARG);
    DaRef<DaNamespaceRoot> root = DaEntry::instance().objectRoot()->namespaceRoot(0);
    if (!root)
        return call.done(E_FAIL);
    const std::string start = daTextFromClient(szItemID);
    DaRef<DaNode> startNode;
    if (!start.empty()) {
        DaRef<DaElement> element = root->findElement(start);
        if (!element || !element->isNode())
            return call.done(OPC_E_UNKNOWNITEMID);
        startNode = DaRef<DaNode>(static_cast<DaNode*>(element.get()));
    }
    // OPC_BROWSE_FILTER_ALL, _BRANCHES, _ITEMS as the engine's branch and item bits.
    const uint32_t mask = dwBrowseFilter == OPC_BROWSE_FILTER_ALL ? 3u : dwBrowseFilter == OPC_BROWSE_FILTER_BRANCHES ? 1u : 2u;
    std::vector<DaBrowseElement> elements;
    bool more = false;
    std::string next;
    HRESULT hr = daBrowse(startNode ? *startNode : static_cast<const DaNode&>(*root), mask,
                          daTextFromClient(szElementNameFilter), daTextFromClient(szVendorFilter),
                          dwMaxElementsReturned, daTextFromClient(*pszContinuationPoint), elements, more, next);
    if (FAILED(hr))
        return call.done(hr);
    const DWORD count = static_cast<DWORD>(elements.size());
    DaOpcOut<OPCBROWSEELEMENT> out;
    if (!out.allocate(count))
        return call.done(E_OUTOFMEMORY);
    bool failed = false;
    for (DWORD i = 0; i < count && !failed; ++i) {
        out[i].szName = daTextForClient(elements[i].name);
        out[i].szItemID = daTextForClient(elements[i].itemId);
        out[i].dwFlagValue = elements[i].flags;
        failed = !out[i].szName || !out[i].szItemID;
        // Properties only for items, and only when asked for: all, or the listed IDs.
        const bool wantsProperties = bReturnAllProperties || (dwPropertyCount != 0 && pdwPropertyIDs);
        if (!failed && wantsProperties && elements[i].element && elements[i].element->isTag())
            failed = FAILED(fillItemProperties(static_cast<DaTag&>(*elements[i].element), bReturnPropertyValues != FALSE,
                                               bReturnAllProperties ? 0 : dwPropertyCount, pdwPropertyIDs,
                                               out[i].ItemProperties));
    }
    LPWSTR continuation = daTextForClient(more ? next : std::string());
    if (failed || !continuation) {
        for (DWORD i = 0; i < count; ++i) {
            CoTaskMemFree(out[i].szName);
            CoTaskMemFree(out[i].szItemID);
            freeItemProperties(out[i].ItemProperties);
        }
        CoTaskMemFree(continuation);
        return call.done(E_OUTOFMEMORY);
    }
    CoTaskMemFree(*pszContinuationPoint);  // [in, out]: the client's text is ours to free
    *pszContinuationPoint = continuation;
    *pbMoreElements = more ? TRUE : FALSE;
    *pdwCount = count;
    *ppBrowseElements = out.release();
    return call.done(count == 0 ? S_FALSE : S_OK);
}
