#include "da/DaObject.h"

#include <cstdio>

const char* DaObject::typeTagOfCode(uint32_t code)
{
    switch (code) {
    case kDaCodeNamespaceRoot:
        return "DNS";
    case kDaCodeServer:
        return "DSE";
    case kDaCodeGroup:
        return "DGR";
    case kDaCodeItem:
        return "DIT";
    case kDaCodeNode:
        return "DNO";
    case kDaCodeTag:
        return "DTA";
    case kDaCodeProperty:
        return "DPR";
    default:
        return "???";
    }
}

const char* DaObject::typeTag() const { return typeTagOfCode(typeCode_); }

std::string DaObject::traceObjectName() const { return std::string(); }

std::string DaObject::traceName() const
{
    const std::string name = traceObjectName();
    const unsigned long address = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this) & 0xFFFFFFFFu);
    const int length = std::snprintf(nullptr, 0, "[%s|%8.8lX| %s]", typeTag(), address, name.c_str());
    std::string text(static_cast<size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "[%s|%8.8lX| %s]", typeTag(), address, name.c_str());
    return text;
}
