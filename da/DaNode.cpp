#include "da/DaNode.h"

#include <algorithm>
#include <utility>

#include "da/DaNamespaceRoot.h"

DaNode::~DaNode()
{
    daObjectDestroyed(DaObjectKind::node);
    // Children that others still hold must not keep a link to this node.
    for (auto& child : children_)
        child->parent_.store(nullptr, std::memory_order_release);
}

HRESULT DaNode::checkName(std::string_view name, const DaElement* context)
{
    if (name.empty())
        return E_INVALIDARG;
    const DaNamespaceRoot* root = context ? context->root() : nullptr;
    const std::string delimiters = root ? root->delimiterChars() : std::string(kDaDefaultDelimiterChars);
    const std::string bad = root ? root->badChars() : std::string(kDaDefaultBadChars);
    if (name.find_first_of(delimiters) != std::string_view::npos || name.find_first_of(bad) != std::string_view::npos)
        return E_INVALIDARG;
    return S_OK;
}

std::vector<DaRef<DaElement>>::const_iterator DaNode::lowerBound(std::string_view name) const
{
    // Names of children change only under this lock, so they are read here without theirs.
    return std::lower_bound(children_.begin(), children_.end(), name,
        [](const DaRef<DaElement>& child, std::string_view key) KV_NO_THREAD_SAFETY_ANALYSIS {
            return std::string_view(child->name_) < key;
        });
}

HRESULT DaNode::addChild(DaElement* child)
{
    if (!child || child == this || child->parent())
        return E_INVALIDARG;
    const std::string name = child->getName();
    const HRESULT checked = checkName(name, this);
    if (FAILED(checked))
        return checked;
    DaLockHolder hold(lock_);
    auto at = lowerBound(name);
    if (at != children_.end() && (*at)->name_ == name)
        return OPC_E_DUPLICATENAME;
    DaNode* expected = nullptr;
    if (!child->parent_.compare_exchange_strong(expected, this, std::memory_order_acq_rel))
        return E_INVALIDARG;  // attached elsewhere meanwhile
    children_.insert(at, DaRef<DaElement>(child));
    return S_OK;
}

HRESULT DaNode::removeChild(DaElement* child)
{
    DaRef<DaElement> removed;  // released after the lock is given up
    {
        DaLockHolder hold(lock_);
        auto it = std::find_if(children_.begin(), children_.end(),
            [child](const DaRef<DaElement>& c) { return c.get() == child; });
        if (it == children_.end())
            return E_INVALIDARG;
        removed = std::move(*it);
        children_.erase(it);
        removed->parent_.store(nullptr, std::memory_order_release);
    }
    return S_OK;
}

void DaNode::removeAllChildren()
{
    std::vector<DaRef<DaElement>> removed;
    {
        DaLockHolder hold(lock_);
        removed.swap(children_);
    }
    for (auto& child : removed) {
        child->parent_.store(nullptr, std::memory_order_release);
        if (child->isNode())
            static_cast<DaNode*>(child.get())->removeAllChildren();
    }
}

HRESULT DaNode::renameChild(DaElement* child, std::string_view name)
{
    DaLockHolder hold(lock_);
    if (child->parent() != this)
        return E_INVALIDARG;
    if (child->name_ == name)
        return S_OK;
    auto at = lowerBound(name);
    if (at != children_.end() && (*at)->name_ == name)
        return OPC_E_DUPLICATENAME;
    {
        DaLockHolder holdChild(child->lock_);
        child->name_.assign(name);
    }
    std::sort(children_.begin(), children_.end(),
        [](const DaRef<DaElement>& a, const DaRef<DaElement>& b) KV_NO_THREAD_SAFETY_ANALYSIS {
            return a->name_ < b->name_;
        });
    return S_OK;
}

DaRef<DaElement> DaNode::findChild(std::string_view name) const
{
    DaLockHolder hold(lock_);
    auto at = lowerBound(name);
    if (at != children_.end() && std::string_view((*at)->name_) == name)
        return *at;
    return nullptr;
}

DaRef<DaElement> DaNode::findPath(std::string_view path, char delimiter) const
{
    DaRef<DaElement> current;
    const DaNode* node = this;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(delimiter, start);
        const std::string_view segment = path.substr(start, end == std::string_view::npos ? path.npos : end - start);
        current = node->findChild(segment);
        if (!current)
            return nullptr;
        if (end == std::string_view::npos)
            return current;
        if (!current->isNode())
            return nullptr;
        node = static_cast<const DaNode*>(current.get());  // kept alive by `current`
        start = end + 1;
    }
}

void DaNode::getChildren(std::vector<DaRef<DaElement>>& children) const
{
    DaLockHolder hold(lock_);
    children = children_;
}

size_t DaNode::childCount() const
{
    DaLockHolder hold(lock_);
    return children_.size();
}
