// A branch of the address space: a named element with a child list of nodes and tags.
// The namespace loader builds the tree from DaNode subclasses (drive node, slot, menu);
// DaNamespaceRoot is the nameless node at the top.
//
// Children are kept sorted by name so that lookups are a binary search per path segment
// (an item ID of depth 4 resolves in a few hundred nanoseconds without any index beside
// the tree) and so that browsing lists them in a stable order.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "da/DaElement.h"
#include "da/DaObjectCounts.h"

class DaTag;

class DaNode : public DaElement {
public:
    DaNode() noexcept : DaElement(kDaCodeNode) { daObjectCreated(DaObjectKind::node); }

    // Adds a child and takes a reference on it. E_INVALIDARG for a null child, a child
    // that already has a parent, or a name that the name rules refuse;
    // OPC_E_DUPLICATENAME when a child of that name exists.
    HRESULT addChild(DaElement* child);
    // Gives the child's reference back; E_INVALIDARG when it is not a child of this node.
    HRESULT removeChild(DaElement* child);
    // Detaches every element below this node, at every depth (shutdown empties the
    // address space).
    void removeAllChildren();

    DaRef<DaElement> findChild(std::string_view name) const;
    // Resolves a relative path of names joined with `delimiter`; null when any segment is
    // missing or names a tag before the last segment.
    DaRef<DaElement> findPath(std::string_view path, char delimiter) const;

    void getChildren(std::vector<DaRef<DaElement>>& children) const;
    size_t childCount() const;
    bool hasChildren() const { return childCount() != 0; }

    // The name rules: non-empty, no delimiter character, no bad character. Those of the
    // root above `context`, or the defaults when it is not under a root.
    static HRESULT checkName(std::string_view name, const DaElement* context);

protected:
    explicit DaNode(uint32_t typeCode) noexcept : DaElement(typeCode) { daObjectCreated(DaObjectKind::node); }
    ~DaNode() override;

private:
    friend class DaElement;
    // Under lock_: position of the first child whose name is not less than `name`.
    std::vector<DaRef<DaElement>>::const_iterator lowerBound(std::string_view name) const KV_REQUIRES(lock_);
    HRESULT renameChild(DaElement* child, std::string_view name);

    std::vector<DaRef<DaElement>> children_;  // guarded by lock_, sorted by name
};
