// The debug probe: twenty kernel debug variables {CTL_DEBUG, i}, read at
// packing time; a missing variable is sent as 0.
#include <sys/types.h>
#include <sys/sysctl.h>

#include <cstring>

#include "error.h"
#include "packet.h"
#include "probes.h"
#include "types.h"

enum { DEBUG_VALUES = 20 };

void debug_start(stream *s)
{
    info("started module debug(%.200s)", s->argument);
}

int32_t debug_pack(uint8_t *buffer, int32_t space, stream *s)
{
    uint32_t values[DEBUG_VALUES];
    memset(values, 0, sizeof(values));
    for (int i = 0; i < DEBUG_VALUES; i++) {
        int mib[2] = {CTL_DEBUG, i};
        size_t length = sizeof(values[i]);
        sysctl(mib, 2, &values[i], &length, nullptr, 0);
    }
    return pack_stream(buffer, space, s->argument, STREAM_DEBUG, values[0], values[1], values[2],
                       values[3], values[4], values[5], values[6], values[7], values[8],
                       values[9], values[10], values[11], values[12], values[13], values[14],
                       values[15], values[16], values[17], values[18], values[19]);
}
