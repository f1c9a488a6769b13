// IEnumOPCItemAttributes over a snapshot of a group's items (IOPCItemMgt::CreateEnumerator).
#include <atomic>
#include <new>
#include <vector>

#include "opc/DaOpcCall.h"
#include "opc/DaOpcGroup.h"

namespace {

struct ItemSnapshot {
    std::string itemId;
    std::string accessPath;
    bool active;
    uint32_t clientHandle;
    uint32_t serverHandle;
    uint32_t accessRights;
    VARTYPE requestedType;
    VARTYPE canonicalType;
};

class ItemEnumerator final : public DaOpcEnumerator<ItemEnumerator, IEnumOPCItemAttributes, ItemSnapshot> {
public:
    using DaOpcEnumerator::DaOpcEnumerator;
    static const IID& iid() { return IID_IEnumOPCItemAttributes; }

    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override
    {
        if (!ppItemArray || !pceltFetched)
            return E_INVALIDARG;
        *ppItemArray = nullptr;
        *pceltFetched = 0;
        ULONG count = 0;
        const ItemSnapshot* items = peek(celt, count);
        DaOpcOut<OPCITEMATTRIBUTES> out;
        if (!out.allocate(count))
            return E_OUTOFMEMORY;
        for (ULONG i = 0; i < count; ++i) {
            const ItemSnapshot& item = items[i];
            OPCITEMATTRIBUTES& a = out[i];
            a.szItemID = daTextForClient(item.itemId);
            a.szAccessPath = daTextForClient(item.accessPath);
            if (!a.szItemID || !a.szAccessPath) {
                for (ULONG k = 0; k <= i; ++k) {
                    CoTaskMemFree(out[k].szItemID);
                    CoTaskMemFree(out[k].szAccessPath);
                }
                return E_OUTOFMEMORY;
            }
            a.bActive = item.active ? TRUE : FALSE;
            a.hClient = item.clientHandle;
            a.hServer = item.serverHandle;
            a.dwAccessRights = item.accessRights;
            a.vtRequestedDataType = item.requestedType;
            a.vtCanonicalDataType = item.canonicalType;
            a.dwEUType = OPC_NOENUM;
            VariantInit(&a.vEUInfo);
        }
        advance(count);
        *ppItemArray = out.release();
        *pceltFetched = count;
        return count == celt ? S_OK : S_FALSE;
    }
};

}  // namespace

STDMETHODIMP DaOpcGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk)
{
    DaOpcCall call("IOPCItemMgt::CreateEnumerator", traceId_.c_str());
    if (!ppUnk)
        return call.done(E_INVALIDARG);
    *ppUnk = nullptr;
    if (isRemoved())
        return call.done(E_FAIL);
    if (riid != IID_IEnumOPCItemAttributes)
        return call.done(E_NOINTERFACE);
    std::vector<DaRef<DaItem>> items;
    group_->getItems(items);
    std::vector<ItemSnapshot> snapshot;
    snapshot.reserve(items.size());
    for (const auto& item : items) {
        DaTag* tag = item->tag();
        snapshot.push_back({item->itemId(), item->accessPath(), item->isActive(), item->clientHandle(),
                            item->serverHandle(), tag ? tag->getAccessRights(item.get()) : 0u,
                            item->requestedDatatype(), tag ? tag->getDatatype() : VARTYPE(VT_EMPTY)});
    }
    const bool empty = snapshot.empty();
    auto* made = new (std::nothrow) ItemEnumerator(std::move(snapshot));
    if (!made)
        return call.done(E_OUTOFMEMORY);
    *ppUnk = static_cast<IEnumOPCItemAttributes*>(made);
    return call.done(empty ? S_FALSE : S_OK);
}
