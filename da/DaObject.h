// Base of every engine object: a reference count (the runtime's), the 32-bit object type
// code and the object trace text "[%s|%8.8lX| %s]" (type tag, address, name) that the
// trace lines and the watch interface use.
#pragma once

#include <cstdint>
#include <string>

#include "common/TVCmnRefCounted.h"
#include "da/DaTypes.h"

class DaObject : public TVCmnRefCounted {
public:
    uint32_t typeCode() const noexcept { return typeCode_; }
    bool isKind(uint32_t kindCode) const noexcept { return daIsKind(typeCode_, kindCode); }
    bool isItem() const noexcept { return daIsItemCode(typeCode_); }

    // Three-letter short name of the type ("DNS", "DTA", ...), as the watch interface
    // shows it. Two codes are shared ("DNS" and "DOR"), so classes may answer their own.
    virtual const char* typeTag() const;
    // The name in the object trace text; engine objects without a name answer "".
    virtual std::string traceObjectName() const;
    // "[%s|%8.8lX| %s]". The address is cut to 32 bits, as a Windows long holds it, so
    // that both builds write the same width.
    std::string traceName() const;

    static const char* typeTagOfCode(uint32_t code);

protected:
    explicit DaObject(uint32_t typeCode) noexcept : typeCode_(typeCode) {}
    ~DaObject() override = default;

private:
    const uint32_t typeCode_;
};

template <class T>
using DaRef = TVCmnRef<T>;
