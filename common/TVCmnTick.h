// 32-bit millisecond tick counts (GetTickCount) and the arithmetic the schedulers use:
// the work thread of a server object, group update cycles, request time-outs.
//
// A tick count wraps to 0 every 2^32 ms (49.7 days); unsigned subtraction handles that.
// It can also step backwards a little (counters of different processors, resumed virtual
// machines), and such a step must read as "no time passed", not as 49 days. The two are
// told apart by the size of the 32-bit difference: from 0xFFFEF921 upwards it is taken as
// a backwards step of up to 67,295 ms; anything smaller is real elapsed time, wrap or not.
// This costs nothing for the engine: no interval it schedules reaches kTickNever
// (40 days), which is far below that limit.
#pragma once

#include <algorithm>
#include <cstdint>

using TVCmnTickMs = std::uint32_t;

// "Never" in waits, update rates and keep-alive times: 40 days, still a finite wait.
inline constexpr std::uint32_t kTickNever = 3456000000u;

class TVCmnTick {
public:
    static constexpr std::uint32_t kBackwardsLimit = 0xFFFEF921u;

    // GetTickCount on both builds.
    static TVCmnTickMs now();

    // Milliseconds from 'from' to 'to'; 0 when the count went backwards.
    static constexpr std::uint32_t elapsed(TVCmnTickMs from, TVCmnTickMs to)
    {
        const std::uint32_t difference = to - from;
        return difference < kBackwardsLimit ? difference : 0;
    }

    // Time left of periodMs that started at 'start': 0 once due; a period of kTickNever
    // or more never becomes due and answers kTickNever. Also what a thread should still
    // sleep of a wait it computed at 'start'.
    static constexpr std::uint32_t remaining(TVCmnTickMs start, std::uint32_t periodMs, TVCmnTickMs now)
    {
        if (periodMs >= kTickNever)
            return kTickNever;
        const std::uint32_t passed = elapsed(start, now);
        return passed >= periodMs ? 0 : periodMs - passed;
    }

    // Caps a requested wait or rate at kTickNever.
    static constexpr std::uint32_t capAtNever(std::uint32_t ms) { return std::min(ms, kTickNever); }
};
