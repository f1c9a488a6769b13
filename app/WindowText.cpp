#include "app/WindowText.h"

#include <cstdio>

std::string statusLineText(bool online, const StatusCounts& counts, size_t queued)
{
    if (!online)
        return kStatusOffline;
    char text[160];
    std::snprintf(text, sizeof text, "ev/s: i:%i, r:%i, a:%i, o:%i, u:%i; u/s:%i. Queue: %i", int(counts.idle),
                  int(counts.requests), int(counts.replies), int(counts.other), int(counts.updates),
                  int(counts.records), int(queued));
    return text;
}

std::string commsVersionText(long version)
{
    long digit[6];
    for (int i = 0; i < 6; ++i)
        digit[i] = (version >> (20 - 4 * i)) & 0xF;
    char text[32];
    std::snprintf(text, sizeof text, "%ld%ld.%ld%ld.%ld%ld", digit[0], digit[1], digit[2], digit[3], digit[4],
                  digit[5]);
    return text;
}
