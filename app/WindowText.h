// The texts the main window shows that are worked out rather than fixed: the status
// line and the comms server's version in the about box.
#pragma once

#include <cstdint>
#include <string>

struct StatusCounts {
    uint32_t idle = 0;      // i
    uint32_t requests = 0;  // r
    uint32_t replies = 0;   // a
    uint32_t other = 0;     // o
    uint32_t updates = 0;   // u
    uint32_t records = 0;   // u/s
};

inline constexpr char kStatusOffline[] = "offline";

// "offline", or the per-second counts and the direct request queue's length.
std::string statusLineText(bool online, const StatusCounts& counts, size_t queued);

// Six 4-bit digits, most significant first, two by two with points between: "01.02.03".
std::string commsVersionText(long version);
