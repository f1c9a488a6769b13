// An item of a group: a client's handle on one tag, with its own active state,
// requested datatype, client handle and item deadband, and per callback connection the
// value and quality it last sent (what the change test compares against). Made by
// DaCreator::createItem; subclasses hook activation through onActiveChanging.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/TVCmnVariant.h"
#include "da/DaEngine.h"
#include "da/DaLock.h"
#include "da/DaObject.h"
#include "da/DaTag.h"

class DaGroup;
class DaRequest;

class DaItem : public DaObject {
public:
    DaItem() noexcept;

    // Fixed once the group has published the item (addItem).
    // The tag's full item ID: what the client asked for, since lookups are exact. Not
    // kept per item: a drive namespace has 100,000 of them.
    std::string itemId() const { return tag_ ? tag_->itemId() : std::string(); }
    std::string accessPath() const;
    uint32_t serverHandle() const noexcept { return serverHandle_; }
    DaGroup* group() const noexcept { return group_; }
    DaTag* tag() const noexcept { return tag_.get(); }
    DaRef<DaTag> getTag() const { return tag_; }

    bool isActive() const;
    uint32_t clientHandle() const;
    VARTYPE requestedDatatype() const;
    // Active, and in an active group.
    bool isActiveInGroup() const;
    // Requested datatype and active flag in one look.
    void readState(VARTYPE& requestedType, bool& active) const;
    bool isRemoved() const;

    // Runs the tag's activation hooks as the group's state asks; see DaGroup.
    virtual HRESULT setActive(bool active);
    // OPC_E_BADTYPE when the tag cannot give the type.
    HRESULT setRequestedDatatype(VARTYPE type);
    void setClientHandle(uint32_t handle);
    // Analog tags only (OPC_E_DEADBANDNOTSUPPORTED); 0..100 (E_INVALIDARG).
    HRESULT setItemDeadband(float percent);
    HRESULT getItemDeadband(float* percent) const;
    HRESULT clearItemDeadband();
    float itemDeadband() const;

    // What was last sent on a connection; false when nothing was.
    bool getLastSent(uint32_t connectionKey, VARIANT* value, uint16_t* quality) const;
    void setLastSent(uint32_t connectionKey, const VARIANT& value, uint16_t quality);
    void forgetConnection(uint32_t connectionKey);

    // The change test of one connection for a value about to be reported.
    bool hasChanged(uint32_t connectionKey, const VARIANT& value, uint16_t quality) const;

    std::string traceObjectName() const override { return itemId(); }
    const char* typeTag() const override { return "DIT"; }

protected:
    ~DaItem() override;
    // Before the new state is stored; empty by default.
    virtual void onActiveChanging(bool active) {}

private:
    friend class DaGroup;
    struct LastSent {
        uint32_t key = 0;  // 0: none
        uint16_t quality = 0;
        TVCmnVariant value;
    };

    // Set by the group before the item is published; read-only afterwards.
    DaGroup* group_ = nullptr;  // not owning: the group holds this item
    DaRef<DaTag> tag_;
    uint32_t serverHandle_ = 0;

    mutable DaLock lock_;
    std::unique_ptr<std::string> accessPath_;  // guarded by lock_; null when empty
    uint32_t clientHandle_ = 0;                // guarded by lock_
    float deadband_ = kDaNoItemDeadband;       // guarded by lock_
    VARTYPE requestedType_ = VT_EMPTY;         // guarded by lock_
    bool active_ = false;                      // guarded by lock_
    bool removed_ = false;                     // guarded by lock_
    LastSent lastSent_;                        // guarded by lock_; the first connection
    std::unique_ptr<std::vector<LastSent>> moreLastSent_;  // guarded by lock_; further ones
};
