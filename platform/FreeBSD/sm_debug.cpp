// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The debug probe: twenty kernel debug variables {CTL_DEBUG, i}, read at
// packing time; a missing variable is sent as 0.
#include <sys/types.h>
#include <sys/sysctl.h>

#include <cstring>

#include "error.h"
#include "pack.h"
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
    return pack_typed_array<STREAM_DEBUG>(buffer, space, s->argument, values);
}
