#include "da/DaElement.h"

#include <vector>

#include "da/DaNamespaceRoot.h"
#include "da/DaNode.h"

std::string DaElement::getName() const
{
    DaLockHolder hold(lock_);
    return name_;
}

HRESULT DaElement::setName(std::string_view name)
{
    const HRESULT checked = DaNode::checkName(name, this);
    if (FAILED(checked))
        return checked;
    if (DaNode* parent = this->parent())
        return parent->renameChild(this, name);
    DaLockHolder hold(lock_);
    name_.assign(name);
    return S_OK;
}

const DaNamespaceRoot* DaElement::root() const noexcept
{
    const DaElement* element = this;
    while (const DaNode* parent = element->parent())
        element = parent;
    if (element->typeCode() != kDaCodeNamespaceRoot)
        return nullptr;
    return static_cast<const DaNamespaceRoot*>(element);
}

std::string DaElement::itemId() const
{
    // Collect the chain first: the delimiter is only known once the top is reached.
    std::vector<const DaElement*> chain;
    const DaElement* element = this;
    while (element && element->typeCode() != kDaCodeNamespaceRoot) {
        chain.push_back(element);
        element = element->parent();
    }
    const char delimiter = element ? static_cast<const DaNamespaceRoot*>(element)->pathDelimiter()
                                   : kDaDefaultPathDelimiter;
    std::string id;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!id.empty() || it != chain.rbegin())
            id.push_back(delimiter);
        id += (*it)->getName();
    }
    return id;
}
