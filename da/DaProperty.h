// One item property element under a tag: ID, description, datatype and a stored value.
// Only the properties a tag really carries beyond the standard set (EU type and info,
// EU limits, units, application properties) exist as objects; IDs 1 to 6 and the text
// forms are answered by the tag from its own fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "da/DaLock.h"
#include "da/DaObject.h"

class DaTag;

class DaProperty : public DaObject {
public:
    // Takes description and datatype from the standard table when the ID is in it.
    explicit DaProperty(uint32_t id);

    uint32_t getId() const;
    // Setting an ID assigns description and datatype from the standard table; any other
    // ID keeps what the application set.
    void setId(uint32_t id);
    std::string getDescription() const;
    void setDescription(std::string_view description);
    VARTYPE getDatatype() const;
    void setDatatype(VARTYPE vt);
    // Attribute name of the watch interface ("" for IDs without one).
    const char* xmlName() const;

    HRESULT getValue(VARIANT* value) const;
    HRESULT setValue(const VARIANT& value);

    // The tag the property hangs under, or null. Not owning: the tag holds a reference.
    DaTag* tag() const noexcept { return tag_; }
    // "%s%c%lu": the tag's item ID, the property delimiter and the ID in decimal.
    std::string itemId(char propertyDelimiter) const;

    std::string traceObjectName() const override;

protected:
    ~DaProperty() override;

private:
    friend class DaTag;
    DaTag* tag_ = nullptr;  // set once, when the tag adopts the property and before others can reach it

    mutable DaLock lock_;
    uint32_t id_;              // guarded by lock_
    VARTYPE datatype_;         // guarded by lock_
    std::string description_;  // guarded by lock_
    VARIANT value_;            // guarded by lock_
};
