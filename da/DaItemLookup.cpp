#include "da/DaItemLookup.h"

#include <cstdio>

namespace {

const DaLookupHooks kDefaultHooks;

std::string format(const char* pattern, std::string_view text)
{
    const std::string owned(text);
    const int length = std::snprintf(nullptr, 0, pattern, owned.c_str());
    std::string line(static_cast<size_t>(length), '\0');
    std::snprintf(line.data(), line.size() + 1, pattern, owned.c_str());
    return line;
}

}  // namespace

uint32_t DaLookupHooks::parsePropertyId(std::string_view text) const
{
    if (text.empty() || text.size() > 10)
        return 0;
    uint64_t id = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        id = id * 10 + static_cast<uint64_t>(c - '0');
    }
    return id > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(id);
}

HRESULT daLookupItem(const DaNamespaceRoot* root, std::string_view itemId, char propertyDelimiter,
                     DaLookupResult& result, const DaLookupHooks* hooks)
{
    result = DaLookupResult();
    if (!hooks)
        hooks = &kDefaultHooks;
    if (itemId.empty())
        return OPC_E_INVALIDITEMID;
    if (!root)
        return E_OUTOFMEMORY;

    std::string_view path = itemId;
    const size_t split = itemId.rfind(propertyDelimiter);
    if (split != std::string_view::npos) {
        result.propertyId = hooks->parsePropertyId(itemId.substr(split + 1));
        if (result.propertyId == 0)
            return OPC_E_UNKNOWNITEMID;
        path = itemId.substr(0, split);
    }

    if (path.empty() || path.find_first_of(root->badChars()) != std::string_view::npos) {
        result.errorTrace = format("can't validate item; no valid id %s", path);
        return OPC_E_INVALIDITEMID;
    }

    DaRef<DaElement> element = root->findElement(path);
    if (element && !element->isTag()) {
        result.errorTrace = format("can't validate item; %s is no node or tag", path);
        return OPC_E_UNKNOWNITEMID;
    }
    DaRef<DaTag> tag;
    if (element)
        tag = DaRef<DaTag>(static_cast<DaTag*>(element.get()));
    if (tag && !tag->servesAsItem())
        tag = nullptr;
    const HRESULT notFound = hooks->checkSyntax(path) ? OPC_E_UNKNOWNITEMID : OPC_E_INVALIDITEMID;
    if (!tag) {
        result.errorTrace = format("can't validate item; unknown id %s", path);
        return notFound;
    }
    if (result.propertyId != 0 && !tag->hasProperty(result.propertyId)) {
        const std::string owned(path);
        const int length = std::snprintf(nullptr, 0, "can't validate item; %s has no property %lu", owned.c_str(),
                                         static_cast<unsigned long>(result.propertyId));
        result.errorTrace.resize(static_cast<size_t>(length));
        std::snprintf(result.errorTrace.data(), result.errorTrace.size() + 1,
                      "can't validate item; %s has no property %lu", owned.c_str(),
                      static_cast<unsigned long>(result.propertyId));
        return notFound;
    }
    result.tag = std::move(tag);
    return S_OK;
}
