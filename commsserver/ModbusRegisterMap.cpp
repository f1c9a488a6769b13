#include "commsserver/ModbusRegisterMap.h"

#include <algorithm>
#include <cmath>

namespace comms {

namespace {

constexpr int kLastRegister = 0xFFFF;

bool isWide(ParameterType type)
{
    return type == ParameterType::Int32 || type == ParameterType::Uint32;
}

}  // namespace

RegisterMap::RegisterMap(const CommsSettings& settings, const std::string& node, RegisterRule rule) : rule_(rule)
{
    // A node's own section replaces the one for every node: take "*" first.
    for (int pass = 0; pass < 2; ++pass) {
        for (const ParameterSettings& p : settings.parameters) {
            if ((pass == 0) != (p.node == kEveryNode) || (pass == 1 && p.node != node))
                continue;
            ParameterLayout l;
            l.type = p.type;
            l.registerCount = isWide(p.type) ? 2 : 1;
            l.decimalPlaces = p.decimalPlaces;
            const double scale = decimalScale(p.decimalPlaces);
            l.minimum = std::round(p.minimum * scale);
            l.maximum = std::round(p.maximum * scale);
            l.writable = p.writable;
            listed_[{p.menu, p.parameter}] = l;
        }
    }
}

LONG RegisterMap::layout(LONG menu, LONG parameter, ParameterLayout& out) const
{
    auto it = listed_.find({menu, parameter});
    if (it != listed_.end()) {
        out = it->second;
    } else if (rule_.anyParameter) {
        out = ParameterLayout{};
        out.minimum = typeMinimum(ParameterType::Int16);
        out.maximum = typeMaximum(ParameterType::Int16);
    } else {
        return kStatusNoSuchParameter;
    }
    // Beyond the menu's stride the number would alias the next menu's parameters.
    if (rule_.menuStride > 0 && std::int64_t(parameter) * rule_.parameterStride >= rule_.menuStride)
        return kStatusNoSuchParameter;
    const std::int64_t first = std::int64_t(rule_.registerBase) + std::int64_t(menu) * rule_.menuStride +
                               std::int64_t(parameter) * rule_.parameterStride;
    if (first + out.registerCount - 1 > kLastRegister)
        return kStatusNoSuchParameter;
    out.firstRegister = static_cast<int>(first);
    return kStatusOk;
}

LONG RegisterMap::decode(const ParameterLayout& layout, const std::uint16_t* registers) const
{
    switch (layout.type) {
    case ParameterType::Int16:
        return static_cast<std::int16_t>(registers[0]);
    case ParameterType::Uint16:
    case ParameterType::Bool:
        return registers[0];
    case ParameterType::Int32:
    case ParameterType::Uint32:
        break;
    }
    const bool highFirst = rule_.wordOrder == WordOrder::HighFirst;
    const std::uint32_t high = registers[highFirst ? 0 : 1];
    const std::uint32_t low = registers[highFirst ? 1 : 0];
    // An unsigned value above 2^31-1 shows as negative: the record holds a signed value.
    return static_cast<LONG>(static_cast<std::int32_t>((high << 16) | low));
}

LONG RegisterMap::encode(const ParameterLayout& layout, LONG value, LONG decimalPlaces, std::uint16_t* registers) const
{
    if (decimalPlaces < -1 || decimalPlaces > 9)
        return kStatusBadValue;
    if (!layout.writable)
        return kStatusWriteRejected;
    const double raw = std::round(double(value) * decimalScale(layout.decimalPlaces) / decimalScale(decimalPlaces));
    if (raw < layout.minimum || raw > layout.maximum || raw < typeMinimum(layout.type) || raw > typeMaximum(layout.type))
        return kStatusOutOfRange;
    const auto bits = static_cast<std::uint32_t>(static_cast<std::int64_t>(raw));
    if (layout.registerCount == 1) {
        registers[0] = static_cast<std::uint16_t>(bits);
        return kStatusOk;
    }
    const bool highFirst = rule_.wordOrder == WordOrder::HighFirst;
    registers[highFirst ? 0 : 1] = static_cast<std::uint16_t>(bits >> 16);
    registers[highFirst ? 1 : 0] = static_cast<std::uint16_t>(bits);
    return kStatusOk;
}

void RegisterMap::planReads(std::span<const ParameterLayout> layouts, int maxRegisters, std::vector<RegisterSpan>& out)
{
    out.clear();
    RegisterSpan span;
    bool open = false;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        const ParameterLayout& l = layouts[i];
        if (l.registerCount == 0)
            continue;  // not on the drive: read around it
        const int end = l.firstRegister + l.registerCount;
        if (open && end - span.first > maxRegisters) {
            out.push_back(span);
            open = false;
        }
        if (!open) {
            span = RegisterSpan{l.firstRegister, 0, i, i};
            open = true;
        }
        span.count = std::max(span.count, end - span.first);
        span.endParameter = i + 1;
    }
    if (open)
        out.push_back(span);
}

}  // namespace comms
