#include "da/DaBrowse.h"

#include <cstdio>
#include <utility>

#include "da/DaMatchPattern.h"

namespace {

const DaBrowseHooks kDefaultHooks;

// Bits of the engine's browse filter mask.
constexpr uint32_t kMaskBranches = 1;
constexpr uint32_t kMaskItems = 2;

bool nameMatches(std::string_view name, std::string_view filter)
{
    return filter.empty() || (daIsPattern(filter) ? daMatchPattern(name, filter) : name == filter);
}

bool tagPasses(const DaTag& tag, VARTYPE datatypeFilter, uint32_t accessRightsFilter)
{
    if (!tag.servesAsItem())
        return false;
    if (datatypeFilter != VT_EMPTY && tag.getDatatype() != datatypeFilter)
        return false;
    return (tag.getAccessRights() & accessRightsFilter) == accessRightsFilter;
}

void collectFlat(const DaNode& node, std::string_view nameFilter, VARTYPE datatypeFilter,
                 uint32_t accessRightsFilter, std::vector<std::string>& ids)
{
    std::vector<DaRef<DaElement>> children;
    node.getChildren(children);
    for (const auto& child : children) {
        if (child->isNode()) {
            collectFlat(static_cast<const DaNode&>(*child), nameFilter, datatypeFilter, accessRightsFilter, ids);
        } else if (child->isTag() && tagPasses(static_cast<const DaTag&>(*child), datatypeFilter, accessRightsFilter)) {
            std::string id = child->itemId();
            if (nameMatches(id, nameFilter))
                ids.push_back(std::move(id));
        }
    }
}

// "O:N%8.8lX" / "O:T%8.8lX": pass letter and the child index of the last element given.
bool parseContinuation(std::string_view text, char& pass, size_t& index)
{
    if (text.size() != 11 || text[0] != 'O' || text[1] != ':' || (text[2] != 'N' && text[2] != 'T'))
        return false;
    uint32_t value = 0;
    for (size_t i = 3; i < 11; ++i) {
        const char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else
            return false;
        value = value * 16 + digit;
    }
    pass = text[2];
    index = value;
    return true;
}

}  // namespace

DaBrowsePosition::DaBrowsePosition(DaRef<DaNamespaceRoot> root) : root_(std::move(root)) {}

const DaNode* DaBrowsePosition::current() const
{
    return node_ ? node_.get() : static_cast<const DaNode*>(root_.get());
}

HRESULT DaBrowsePosition::change(uint32_t direction, std::string_view name)
{
    if (!root_)
        return E_FAIL;
    switch (direction) {
    case kDaBrowseUp: {
        if (!node_)
            return E_FAIL;
        DaNode* parent = node_->parent();
        if (!parent || parent == root_.get())
            node_ = nullptr;
        else
            node_ = DaRef<DaNode>(parent);
        return S_OK;
    }
    case kDaBrowseDown: {
        DaRef<DaElement> child = current()->findChild(name);
        if (!child || !child->isNode())
            return E_INVALIDARG;
        node_ = DaRef<DaNode>(static_cast<DaNode*>(child.get()));
        return S_OK;
    }
    case kDaBrowseTo: {
        if (name.empty()) {
            node_ = nullptr;
            return S_OK;
        }
        DaRef<DaElement> element = root_->findElement(name);
        if (!element || !element->isNode())
            return E_INVALIDARG;
        node_ = DaRef<DaNode>(static_cast<DaNode*>(element.get()));
        return S_OK;
    }
    default:
        return E_INVALIDARG;
    }
}

std::string DaBrowsePosition::currentPath() const { return node_ ? node_->itemId() : std::string(); }

HRESULT DaBrowsePosition::browseItemIds(uint32_t filterType, const char* nameFilter, VARTYPE datatypeFilter,
                                        uint32_t accessRightsFilter, std::vector<std::string>& ids) const
{
    ids.clear();
    if (!root_)
        return E_FAIL;
    if (filterType < kDaBrowseBranch || filterType > kDaBrowseFlat || accessRightsFilter > kDaAccessMask)
        return E_INVALIDARG;
    const std::string_view filter = nameFilter ? std::string_view(nameFilter) : std::string_view();
    if (filterType == kDaBrowseFlat) {
        collectFlat(*current(), filter, datatypeFilter, accessRightsFilter, ids);
        return S_OK;
    }
    std::vector<DaRef<DaElement>> children;
    current()->getChildren(children);
    for (const auto& child : children) {
        const bool wanted = filterType == kDaBrowseBranch
                                ? child->isNode()
                                : child->isTag() && tagPasses(static_cast<const DaTag&>(*child), datatypeFilter,
                                                              accessRightsFilter);
        if (!wanted)
            continue;
        std::string name = child->getName();
        if (nameMatches(name, filter))
            ids.push_back(std::move(name));
    }
    return S_OK;
}

HRESULT DaBrowsePosition::getItemId(std::string_view name, std::string& itemId) const
{
    if (!root_)
        return E_FAIL;
    if (name.empty()) {
        itemId = currentPath();
        return S_OK;
    }
    DaRef<DaElement> child = current()->findChild(name);
    if (!child)
        return E_INVALIDARG;
    itemId = child->itemId();
    return S_OK;
}

HRESULT daBrowse(const DaNode& start, uint32_t filterMask, std::string_view nameFilter,
                 std::string_view vendorFilter, uint32_t maxElements, std::string_view continuation,
                 std::vector<DaBrowseElement>& elements, bool& more, std::string& nextContinuation,
                 const DaBrowseHooks* hooks)
{
    if (!hooks)
        hooks = &kDefaultHooks;
    elements.clear();
    more = false;
    nextContinuation.clear();

    std::vector<DaRef<DaElement>> children;
    start.getChildren(children);

    char pass = 'N';
    size_t from = 0;
    if (continuation.size() > 2) {
        if (continuation.substr(0, 2) == "S:")
            return hooks->continueStringBrowse(continuation.substr(2));
        size_t last = 0;
        if (!parseContinuation(continuation, pass, last))
            return OPC_E_INVALIDCONTINUATIONPOINT;
        if (pass == 'T' && (filterMask & kMaskItems) == 0)
            return OPC_E_INVALIDCONTINUATIONPOINT;
        if (last >= children.size() || (pass == 'N' ? !children[last]->isNode() : !children[last]->isTag()))
            return OPC_E_INVALIDCONTINUATIONPOINT;
        from = last + 1;
    }

    for (const char current : {'N', 'T'}) {
        if (current == 'T' && (filterMask & kMaskItems) == 0)
            break;
        if (current == 'N' && pass == 'T')
            continue;
        const size_t begin = current == pass ? from : 0;
        for (size_t i = begin; i < children.size(); ++i) {
            DaElement& element = *children[i];
            const bool isNode = element.isNode();
            if (current == 'N' ? !isNode : !element.isTag())
                continue;
            const bool isItem = !isNode && static_cast<DaTag&>(element).servesAsItem();
            if ((filterMask & kMaskBranches) == 0 && !isItem)
                continue;
            if (!isNode && !isItem)
                continue;  // a tag that is not an item is not shown
            if (!hooks->isVisible(element))
                continue;
            std::string name = element.getName();
            if (!nameMatches(name, nameFilter))
                continue;
            if (!vendorFilter.empty() && !hooks->acceptsVendorFilter(element, vendorFilter))
                continue;
            if (maxElements != 0 && elements.size() >= maxElements) {
                more = true;
                return S_OK;
            }
            DaBrowseElement entry;
            entry.itemId = element.itemId();
            entry.name = std::move(name);
            if (isItem)
                entry.flags |= kDaBrowseIsItem;
            if (isNode && static_cast<DaNode&>(element).hasChildren())
                entry.flags |= kDaBrowseHasChildren;
            entry.element = children[i];
            elements.push_back(std::move(entry));
            if (maxElements != 0 && elements.size() == maxElements) {
                char text[32];
                std::snprintf(text, sizeof text, "O:%c%8.8lX", current, static_cast<unsigned long>(i & 0xFFFFFFFFu));
                nextContinuation = text;
            }
        }
    }
    // The continuation point only stands when another element followed.
    nextContinuation.clear();
    return S_OK;
}
