// The value store of one tag. The address space only needs the datatype that the tag
// pushes into it; value, quality and timestamp, with their lock and change hooks, belong
// to the cache engine and are added here with it. Tags create their cache through
// DaTag::createCache, which the engine's factory overrides.
#pragma once

#include "da/DaLock.h"
#include "da/DaObject.h"

class DaCache : public DaObject {
public:
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

protected:
    ~DaCache() override = default;
    mutable DaLock lock_;

private:
    VARTYPE datatype_ = VT_EMPTY;  // guarded by lock_
};
