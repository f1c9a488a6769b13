// A leaf of the address space that carries a value: canonical datatype, access rights,
// request handling, its cache and its property children. The namespace loader creates
// drive parameter tags (DriveTagBase / DriveTag subclass this); the engine reads and
// writes through the virtual operations below.
//
// Memory matters here (one object per drive parameter): the small fields are packed into
// one word, and the rarely used parts (property children, item list) live in a block
// that is only allocated when first needed; a lone item is kept in the block's word. Standard properties 1 to 6 and the text
// forms are answered from the fields.
//
// Lock order: the tag's lock before its properties' locks.
//
// The value itself lives in the tag's DaCache; getCache creates it on first use through
// createCache, the hook the engine's factory overrides. Request queues for device IO
// come with the request engine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "da/DaCache.h"
#include "da/DaElement.h"
#include "da/DaProperty.h"

class DaRequest;

// One entry of a tag's property list.
struct DaPropertyInfo {
    uint32_t id;
    std::string description;
    VARTYPE datatype;
};

class DaTag : public DaElement {
public:
    // A tag with item tracking keeps the list of items connected to it.
    explicit DaTag(bool tracksItems = false) noexcept;

    // Cache.
    void setCache(DaCache* cache);
    // Creates the cache on first call and gives it the tag's datatype; null when the tag
    // is not an item (handling code 7).
    DaRef<DaCache> getCache();

    // Access rights (kDaAccessReadable | kDaAccessWritable).
    void setAccessRights(uint32_t rights);
    virtual uint32_t getAccessRights(const DaObject* item = nullptr) const;
    void setAccessFlag(bool flag);
    bool getAccessFlag() const;

    // Canonical datatype. OPC_E_BADTYPE for a VARTYPE a tag cannot carry (the datatype
    // is then left as it was).
    HRESULT setDatatype(VARTYPE vt);
    VARTYPE getDatatype() const;
    // S_OK when a client may ask for vt: VT_EMPTY, a bare VT_ARRAY, the canonical type or
    // anything with the same array-ness as the canonical type; otherwise OPC_E_BADTYPE.
    HRESULT checkRequestedDatatype(VARTYPE vt) const;

    // Request handling.
    virtual uint32_t getRequestHandling(DaRequest* request) const;
    void setDefaultHandling(uint32_t code);
    uint32_t getDefaultHandling() const;
    // kDaCacheFirstSet when set, else 0.
    uint32_t getCacheFirst() const;
    void setCacheFirst(bool cacheFirst);
    // Hook for handling code 1; the engine completes the request with the result.
    virtual HRESULT handleRequest(DaRequest* request) { return E_FAIL; }
    // Hooks for handling code 2: the request joins the tag's queue for device IO, and
    // signalQueue wakes whoever serves the queue. A tag without a queue leaves the
    // request open; the server's time-out ends it.
    virtual void queueRequest(DaRequest* request, bool read) {}
    virtual void signalQueue(bool read) {}
    // Whether clients see the tag as an item at all (handling code 7 hides it).
    bool servesAsItem() const { return getRequestHandling(nullptr) != kDaHandlingNotAnItem; }

    // Texts for the watch interface.
    virtual std::string getDeviceState() const { return "ok"; }
    virtual std::string getDeviceStateInfo() const { return std::string(); }
    // The tag's own cycle for cache ageing; none by default.
    virtual uint32_t getUpdateRate() const { return kDaNoUpdateRate; }

    // Items becoming active or inactive in an active group; the drive parameter tag uses
    // them to enter and leave the polling loop.
    virtual void onItemActivated(DaObject* item) {}
    virtual void onItemDeactivated(DaObject* item) {}
    // Item tracking: only items are taken, each once; plain tags ignore the calls.
    virtual void onItemConnected(DaObject* item);
    virtual void onItemDisconnected(DaObject* item);
    void getItems(std::vector<DaRef<DaObject>>& items) const;
    size_t itemCount() const;
    bool tracksItems() const noexcept { return tracksItems_; }

    // Property children. OPC_E_DUPLICATENAME when the tag already has that ID,
    // E_INVALIDARG for a null property or one that belongs to another tag.
    HRESULT addProperty(DaProperty* property);
    DaRef<DaProperty> findProperty(uint32_t id) const;
    // Whether a property access on this ID names something: the standard set, the text
    // forms and the children.
    bool hasProperty(uint32_t id) const;
    // The list that answers a properties query: 1 (unless type and quality are
    // omitted), 2, 3 (same), 4, 5 (unless access rights are omitted), 6, then children.
    void getPropertyList(bool withTypeAndQuality, bool withAccessRights, std::vector<DaPropertyInfo>& list) const;
    // The value of a property that the address space computes or stores. Value,
    // quality, timestamp and the quality text are read through the tag's cache by the
    // request engine (see readsThroughTag); here they give E_FAIL.
    HRESULT getPropertyValue(uint32_t id, float serverScanRateMs, VARIANT* value) const;
    static bool readsThroughTag(uint32_t id);

    // EU model: no property 7 -> none; 7 with 102 -> analog; 7 without 102 -> enumerated.
    LONG getEUType() const;
    // VT_EMPTY for none; [Low EU, High EU] as VT_ARRAY | VT_R8 for analog; the value of
    // property 8 for enumerated (VT_EMPTY until setEnumeratedEU gave one).
    HRESULT getEUInfo(VARIANT* info) const;
    HRESULT setAnalogEU(double lowEU, double highEU);
    // The texts are in the system code page.
    HRESULT setEnumeratedEU(const std::vector<std::string>& texts);

protected:
    ~DaTag() override;
    // Called after a field that clients see has changed (access rights).
    virtual void onTagChanged() {}
    // The engine's factory overrides this to make its own caches.
    virtual DaRef<DaCache> createCache();

private:
    struct Extras {
        std::vector<DaRef<DaProperty>> properties;  // sorted by ID
        std::vector<DaRef<DaObject>> items;
    };
    // The rare parts word: null, one connected item (low bit set, a reference held) or
    // the Extras block. Most tags are one item's at most and have no property children,
    // so their item costs no block.
    static constexpr uintptr_t kSingleItem = 1;
    Extras* block() const KV_REQUIRES(lock_)
    {
        return rare_ & kSingleItem ? nullptr : reinterpret_cast<Extras*>(rare_);
    }
    DaObject* singleItem() const KV_REQUIRES(lock_)
    {
        return rare_ & kSingleItem ? reinterpret_cast<DaObject*>(rare_ & ~kSingleItem) : nullptr;
    }
    // The block, made on first need; a single item moves into its list.
    Extras& extras() KV_REQUIRES(lock_);
    DaRef<DaProperty> findOrAddProperty(uint32_t id);

    const bool tracksItems_;
    VARTYPE datatype_ = VT_EMPTY;       // guarded by lock_
    uint8_t accessRights_ : 2 = 0;      // guarded by lock_
    uint8_t accessFlag_ : 1 = 0;        // guarded by lock_
    uint8_t defaultHandling_ : 3 = 0;   // guarded by lock_
    uint8_t cacheFirst_ : 1 = 0;        // guarded by lock_
    DaRef<DaCache> cache_;              // guarded by lock_
    uintptr_t rare_ = 0;                // guarded by lock_; see block()
};
