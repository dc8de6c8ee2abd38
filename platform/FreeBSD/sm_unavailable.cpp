// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stream types the data model knows but this platform has no probe for:
// every operation their entries have stops the monitor.
#include "error.h"
#include "probes.h"

#define UNAVAILABLE(name)                                                                         \
    [[noreturn]] static void name##_unavailable()                                                \
    {                                                                                             \
        fatal(#name " module not available");                                                    \
    }

UNAVAILABLE(cpuiow)
UNAVAILABLE(flukso)
#undef UNAVAILABLE

void cpuiow_start(stream *) { cpuiow_unavailable(); }
void cpuiow_sample() { cpuiow_unavailable(); }
int32_t cpuiow_pack(uint8_t *, int32_t, stream *) { cpuiow_unavailable(); }

void flukso_start(stream *) { flukso_unavailable(); }
void flukso_sample() { flukso_unavailable(); }
int32_t flukso_pack(uint8_t *, int32_t, stream *) { flukso_unavailable(); }
