// The value store of one tag: value (in the tag's canonical datatype), quality and
// timestamp, with their lock. The drive side writes it (DaTag::updateValue through
// daUpdateTagValue), client reads and the subscription cycles read it, converted to
// each item's requested datatype. Tags create their cache through DaTag::createCache,
// which the engine's factory overrides.
//
// Every operation takes the cache's own lock; get() holds it across value, quality and
// timestamp so that a reader never sees a value with another value's quality.
#pragma once

#include <cstdint>

#include "common/TVCmnVariant.h"
#include "da/DaLock.h"
#include "da/DaObject.h"

class DaRequest;

class DaCache : public DaObject {
public:
    static constexpr uint16_t kInitialQuality = 0x20;  // BAD, waiting for initial data

    DaCache() noexcept : DaObject(kDaCodeEngineObject) {}

    virtual void setDatatype(VARTYPE vt)
    {
        DaLockHolder hold(lock_);
        datatype_ = vt;
    }
    VARTYPE getDatatype() const
    {
        DaLockHolder hold(lock_);
        return datatype_;
    }

    // Value, quality and timestamp in one hold. With a request the tag's read right is
    // checked first (OPC_E_BADRIGHTS into *error, empty value). The quality is 0 when no
    // value results (conversion failure, refused read). requestedType VT_EMPTY gives the
    // canonical type.
    HRESULT get(VARIANT* value, uint16_t* quality, FILETIME* timestamp, const DaRequest* request,
                VARTYPE requestedType, LCID lcid, HRESULT* error) const;
    // The value alone, converted; a failed conversion leaves *value empty.
    HRESULT getValue(VARIANT* value, VARTYPE requestedType, LCID lcid) const;

    // Stores value (converted to the cache datatype when one is set), quality and
    // timestamp together; what the drive side does for each update.
    HRESULT store(const VARIANT& value, uint16_t quality, const FILETIME& timestamp, LCID lcid = 0x800);
    HRESULT setValue(const VARIANT& value, LCID lcid = 0x800);
    // A reading of the device taken at readTick (a DaClock tick): value, quality and
    // timestamp as store() keeps them (value null: the quality alone), unless the cache
    // holds a value read or stored at readTick or later. Readings can come out of order
    // (one queued before a write is drained after the write's completion stored the
    // written value), and the cache must never go back to the older one. Answers S_FALSE,
    // changing nothing, when refused. The timestamp never goes back either.
    HRESULT storeReading(const VARIANT* value, uint16_t quality, const FILETIME& timestamp, uint32_t readTick,
                         LCID lcid = 0x800);
    void setQuality(uint16_t quality);
    uint16_t getQuality() const;
    void setTimestamp(const FILETIME& timestamp);
    FILETIME getTimestamp() const;
    // Timestamp as one 64-bit number; 0 when the cache never held a value.
    uint64_t getTimestamp64() const;
    // Both halves of the timestamp are set once a value came in.
    bool holdsValue() const;

    // VARIANT conversion under the LCID; arrays element by element. dest is cleared first.
    static HRESULT changeType(const VARIANT& source, VARTYPE type, VARIANT* dest, LCID lcid);

protected:
    ~DaCache() override = default;
    // Called before each setter stores its new value; empty by default.
    virtual void onValueChanging(const VARIANT& value) {}
    virtual void onQualityChanging(uint16_t quality) {}
    virtual void onTimestampChanging(const FILETIME& timestamp) {}

    mutable DaLock lock_;

private:
    HRESULT getValueLocked(VARIANT* value, VARTYPE requestedType, LCID lcid) const KV_REQUIRES(lock_);
    HRESULT storeValueLocked(const VARIANT& value, LCID lcid) KV_REQUIRES(lock_);
    static bool holds(uint64_t timestamp) { return (timestamp >> 32) != 0 && (timestamp & 0xFFFFFFFFu) != 0; }

    VARTYPE datatype_ = VT_EMPTY;             // guarded by lock_
    uint16_t quality_ = kInitialQuality;      // guarded by lock_
    uint64_t timestamp_ = 0;                  // guarded by lock_ (FILETIME, UTC)
    TVCmnVariant value_;                      // guarded by lock_
    // When the value held was read (storeReading) or stored (store, setValue).
    uint32_t valueTick_ = 0;                  // guarded by lock_
    bool valueTickSet_ = false;               // guarded by lock_
};
