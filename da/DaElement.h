// An element of the address space tree: a node (branch) or a tag (leaf). Holds the name
// (one path segment), the non-owning link to the parent and the element's own lock.
//
// Lock order: a parent's lock before a child's. A name is changed only with the parent's
// lock held (when there is a parent) and the element's own lock, so a parent may compare
// its children's names under its own lock alone.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "da/DaLock.h"
#include "da/DaObject.h"

class DaNode;
class DaNamespaceRoot;

class DaElement : public DaObject {
public:
    std::string getName() const;
    // E_INVALIDARG for an empty name or one with a delimiter or bad character;
    // OPC_E_DUPLICATENAME when a sibling already has it. Renaming to the current name
    // succeeds and changes nothing.
    HRESULT setName(std::string_view name);

    // The parent, or null. Not owning: the parent holds a reference on this element.
    DaNode* parent() const noexcept { return parent_.load(std::memory_order_acquire); }
    // The root this element hangs under, or null while it is not attached to one.
    const DaNamespaceRoot* root() const noexcept;

    // Names from the first element below the root down to this one, joined with the
    // root's path delimiter ('.' while not attached to a root).
    std::string itemId() const;

    bool isNode() const noexcept { return isKind(kDaCodeNode); }
    bool isTag() const noexcept { return isKind(kDaCodeTag); }

    std::string traceObjectName() const override { return getName(); }

protected:
    explicit DaElement(uint32_t typeCode) noexcept : DaObject(typeCode) {}

    mutable DaLock lock_;

private:
    friend class DaNode;
    std::atomic<DaNode*> parent_{nullptr};
    std::string name_;  // guarded by lock_ (changes also hold the parent's lock)
};
