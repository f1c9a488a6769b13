// Item ID resolution against an address space: the path part names a tag, an optional
// part after the last property delimiter names one of its properties. Used by the server
// objects for AddItems, ValidateItems, item IO and property access; they pass their own
// hooks and trace the returned line at error level.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "da/DaNamespaceRoot.h"
#include "da/DaTag.h"

inline constexpr char kDaDefaultPropertyDelimiter = '#';

// The server's hooks into item lookup; the defaults are this server's behaviour.
class DaLookupHooks {
public:
    virtual ~DaLookupHooks() = default;
    // The property ID written after the property delimiter: decimal digits only, else 0.
    virtual uint32_t parsePropertyId(std::string_view text) const;
    // A syntax check of an unknown ID: OPC_E_INVALIDITEMID instead of
    // OPC_E_UNKNOWNITEMID when it refuses. This server accepts every ID.
    virtual bool checkSyntax(std::string_view itemId) const { return true; }
};

struct DaLookupResult {
    DaRef<DaTag> tag;
    uint32_t propertyId = 0;  // non-zero for a property access on `tag`
    std::string errorTrace;   // the error-level trace line, empty when there is none
};

// S_OK with the tag (and property ID); otherwise OPC_E_INVALIDITEMID,
// OPC_E_UNKNOWNITEMID or E_OUTOFMEMORY (no root), with the trace line where one is due.
HRESULT daLookupItem(const DaNamespaceRoot* root, std::string_view itemId, char propertyDelimiter,
                     DaLookupResult& result, const DaLookupHooks* hooks = nullptr);
