// Browsing the address space: the per-server browse position of the OPC DA 2.0 browse
// (up, down, to; lists of branch names, leaf names or flat item IDs) and the OPC DA 3.0
// Browse with its continuation points "O:N%8.8lX" / "O:T%8.8lX".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "da/DaNamespaceRoot.h"
#include "da/DaTag.h"

// The server's hooks into browsing; the defaults show everything and browse no strings.
class DaBrowseHooks {
public:
    virtual ~DaBrowseHooks() = default;
    virtual bool isVisible(const DaElement& element) const { return true; }
    virtual bool acceptsVendorFilter(const DaElement& element, std::string_view vendorFilter) const { return true; }
    // A continuation point "S:text" resumes a string-based browse; this server has none.
    virtual HRESULT continueStringBrowse(std::string_view text) const { return OPC_E_INVALIDCONTINUATIONPOINT; }
};

// The current node of one server's OPC DA 2.0 browse. Not thread-safe on its own: the
// server object holds it under its lock.
class DaBrowsePosition {
public:
    explicit DaBrowsePosition(DaRef<DaNamespaceRoot> root);

    // kDaBrowseUp (E_FAIL at the root), kDaBrowseDown to a child node by name, kDaBrowseTo
    // a node by full item ID (empty: the root). E_INVALIDARG for anything unknown, for a
    // tag, and for other directions; the position is then unchanged.
    HRESULT change(uint32_t direction, std::string_view name);
    // The item ID of the current node; "" at the root.
    std::string currentPath() const;

    // kDaBrowseBranch: names of the child nodes; kDaBrowseLeaf: names of the child tags;
    // kDaBrowseFlat: item IDs of all tags below. Tags pass the datatype filter when it
    // is VT_EMPTY or their canonical datatype, and the access filter when their rights
    // include all its bits; a null or empty name filter passes every name.
    HRESULT browseItemIds(uint32_t filterType, const char* nameFilter, VARTYPE datatypeFilter,
                          uint32_t accessRightsFilter, std::vector<std::string>& ids) const;
    // The item ID of a child of the current node (or of the node itself for ""),
    // E_INVALIDARG when there is no such child.
    HRESULT getItemId(std::string_view name, std::string& itemId) const;

private:
    const DaNode* current() const;
    DaRef<DaNamespaceRoot> root_;
    DaRef<DaNode> node_;  // null at the root
};

struct DaBrowseElement {
    std::string name;
    std::string itemId;
    uint32_t flags = 0;  // kDaBrowseHasChildren, kDaBrowseIsItem
    DaRef<DaElement> element;
};

// OPC DA 3.0 Browse of the children of `start`. filterMask: bit 1 branches, bit 2 items.
// maxElements 0 means no limit. `more` and `nextContinuation` tell whether and where to
// go on. OPC_E_INVALIDCONTINUATIONPOINT for a continuation point that is malformed or
// names no element of its pass.
HRESULT daBrowse(const DaNode& start, uint32_t filterMask, std::string_view nameFilter,
                 std::string_view vendorFilter, uint32_t maxElements, std::string_view continuation,
                 std::vector<DaBrowseElement>& elements, bool& more, std::string& nextContinuation,
                 const DaBrowseHooks* hooks = nullptr);
