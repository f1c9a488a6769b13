// Where a drive parameter lies in a node's holding registers and how its value is
// coded there, for the Modbus backends (TCP and RTU alike).
//
// The rule: first register = registerBase + menu x menuStride + parameter x
// parameterStride (the node's base, the network's strides). A parameter whose number
// would reach into the next menu does not exist. int16, uint16 and bool parameters take
// one register; int32 and uint32 two, in the node's word order. Types, decimal places,
// ranges and write access come from the [parameter] sections; a node with anyParameter
// treats every other parameter as a writable int16 without decimal places.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "commsserver/CommsBackend.h"
#include "commsserver/CommsSettings.h"

namespace comms {

struct RegisterRule {
    LONG registerBase = 0;
    LONG menuStride = 100;
    LONG parameterStride = 1;
    WordOrder wordOrder = WordOrder::HighFirst;
    bool anyParameter = true;
};

struct ParameterLayout {
    int firstRegister = 0;
    int registerCount = 1;
    ParameterType type = ParameterType::Int16;
    LONG decimalPlaces = 0;
    double minimum = 0;  // raw drive units
    double maximum = 0;
    bool writable = true;
};

// One read request of a block: registers first..first+count-1 and the block's
// parameters [beginParameter, endParameter) that lie wholly inside them.
struct RegisterSpan {
    int first = 0;
    int count = 0;
    std::size_t beginParameter = 0;
    std::size_t endParameter = 0;
};

class RegisterMap {
public:
    // The [parameter] sections of settings that apply to node (its own and those of
    // every node).
    RegisterMap(const CommsSettings& settings, const std::string& node, RegisterRule rule);

    // kStatusOk and the layout, or kStatusNoSuchParameter.
    LONG layout(LONG menu, LONG parameter, ParameterLayout& out) const;

    // The value of a parameter from its registers.
    LONG decode(const ParameterLayout& layout, const std::uint16_t* registers) const;
    // A value with the record's decimal places as the parameter's registers:
    // kStatusOk, kStatusBadValue (decimal places a record cannot carry),
    // kStatusWriteRejected (read-only) or kStatusOutOfRange.
    LONG encode(const ParameterLayout& layout, LONG value, LONG decimalPlaces, std::uint16_t* registers) const;

    // Splits the layouts of a block (in parameter order; registerCount 0 for those
    // that do not exist) into read requests of at most maxRegisters.
    static void planReads(std::span<const ParameterLayout> layouts, int maxRegisters, std::vector<RegisterSpan>& out);

    const RegisterRule& rule() const { return rule_; }

private:
    RegisterRule rule_;
    std::map<std::pair<LONG, LONG>, ParameterLayout> listed_;  // (menu, parameter)
};

}  // namespace comms
