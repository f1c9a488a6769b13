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

class ItemEnumerator final : public IEnumOPCItemAttributes {
public:
    explicit ItemEnumerator(std::vector<ItemSnapshot> items) : items_(std::move(items)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumOPCItemAttributes) {
            *ppv = static_cast<IEnumOPCItemAttributes*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG refs = --refs_;
        if (refs == 0)
            delete this;
        return refs;
    }

    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override
    {
        if (!ppItemArray || !pceltFetched)
            return E_INVALIDARG;
        *ppItemArray = nullptr;
        *pceltFetched = 0;
        const size_t left = items_.size() - next_;
        const ULONG count = static_cast<ULONG>(celt < left ? celt : left);
        DaOpcOut<OPCITEMATTRIBUTES> out;
        if (!out.allocate(count))
            return E_OUTOFMEMORY;
        for (ULONG i = 0; i < count; ++i) {
            const ItemSnapshot& item = items_[next_ + i];
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
        next_ += count;
        *ppItemArray = out.release();
        *pceltFetched = count;
        return count == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override
    {
        const size_t left = items_.size() - next_;
        next_ += celt < left ? celt : left;
        return celt <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override
    {
        if (!ppEnumItemAttributes)
            return E_INVALIDARG;
        auto* copy = new (std::nothrow) ItemEnumerator(items_);
        if (!copy)
            return E_OUTOFMEMORY;
        copy->next_ = next_;
        *ppEnumItemAttributes = copy;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
    const std::vector<ItemSnapshot> items_;
    size_t next_ = 0;  // a client uses an enumerator from one thread at a time
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
