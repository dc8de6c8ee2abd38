// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The load probe: the 1, 5 and 15 minute load averages, sampled once per
// measurement and sent with two decimals.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"

static double averages[3];

void load_start(stream *s)
{
    info("started module load(%.200s)", s->argument);
}

void load_sample()
{
    if (getloadavg(averages, 3) != 3)
        warning("could not get load average: %.200s", strerror(errno));
}

int32_t load_pack(uint8_t *buffer, int32_t space, stream *s)
{
    return pack_typed<STREAM_LOAD>(buffer, space, s->argument, averages[0], averages[1],
                                   averages[2]);
}
