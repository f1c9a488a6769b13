// The root of one server class's address space: a nameless node that also carries the
// rules for names and item IDs (path delimiter, delimiter and bad characters) and the
// shared-cache flag. Built by the namespace loader, read by item lookup and browsing.
#pragma once

#include <string>
#include <string_view>

#include "da/DaNode.h"

class DaTag;

inline constexpr char kDaDefaultPathDelimiter = '.';
inline constexpr const char* kDaDefaultDelimiterChars = ".,/\\!|";
inline constexpr const char* kDaDefaultBadChars = "\"`'#";

class DaNamespaceRoot : public DaNode {
public:
    DaNamespaceRoot() noexcept : DaNode(kDaCodeNamespaceRoot) {}

    // The path delimiter, and the delimiter and bad character sets handed out to the
    // interface layer.
    char getDelimiters(std::string& delimiterChars, std::string& badChars) const;
    char pathDelimiter() const;
    // Settings are changed before the tree is built; names already in it are not
    // checked again.
    void setPathDelimiter(char delimiter);
    void setDelimiterChars(std::string_view chars);
    void setBadChars(std::string_view chars);
    std::string delimiterChars() const;
    std::string badChars() const;

    bool sharedCache() const;
    void setSharedCache(bool shared);

    // An element by its full item ID (without a property part); null when unknown.
    DaRef<DaElement> findElement(std::string_view itemId) const;
    // A tag by its full item ID; null when the ID is unknown or names a node.
    DaRef<DaTag> findTag(std::string_view itemId) const;

    const char* typeTag() const override { return "DNS"; }
    std::string traceObjectName() const override { return "DaS Name Space Root"; }

private:
    char pathDelimiter_ = kDaDefaultPathDelimiter;        // guarded by lock_
    std::string delimiterChars_ = kDaDefaultDelimiterChars;  // guarded by lock_
    std::string badChars_ = kDaDefaultBadChars;            // guarded by lock_
    bool sharedCache_ = false;                             // guarded by lock_
};
