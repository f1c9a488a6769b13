#include "da/DaNamespaceRoot.h"

#include "da/DaTag.h"

char DaNamespaceRoot::getDelimiters(std::string& delimiterChars, std::string& badChars) const
{
    DaLockHolder hold(lock_);
    delimiterChars = delimiterChars_;
    badChars = badChars_;
    return pathDelimiter_;
}

char DaNamespaceRoot::pathDelimiter() const
{
    DaLockHolder hold(lock_);
    return pathDelimiter_;
}

void DaNamespaceRoot::setPathDelimiter(char delimiter)
{
    DaLockHolder hold(lock_);
    pathDelimiter_ = delimiter;
}

void DaNamespaceRoot::setDelimiterChars(std::string_view chars)
{
    DaLockHolder hold(lock_);
    delimiterChars_.assign(chars);
}

void DaNamespaceRoot::setBadChars(std::string_view chars)
{
    DaLockHolder hold(lock_);
    badChars_.assign(chars);
}

std::string DaNamespaceRoot::delimiterChars() const
{
    DaLockHolder hold(lock_);
    return delimiterChars_;
}

std::string DaNamespaceRoot::badChars() const
{
    DaLockHolder hold(lock_);
    return badChars_;
}

bool DaNamespaceRoot::sharedCache() const
{
    DaLockHolder hold(lock_);
    return sharedCache_;
}

void DaNamespaceRoot::setSharedCache(bool shared)
{
    DaLockHolder hold(lock_);
    sharedCache_ = shared;
}

DaRef<DaElement> DaNamespaceRoot::findElement(std::string_view itemId) const
{
    if (itemId.empty())
        return nullptr;
    return findPath(itemId, pathDelimiter());
}

DaRef<DaTag> DaNamespaceRoot::findTag(std::string_view itemId) const
{
    DaRef<DaElement> element = findElement(itemId);
    if (!element || !element->isTag())
        return nullptr;
    return DaRef<DaTag>(static_cast<DaTag*>(element.get()));
}
