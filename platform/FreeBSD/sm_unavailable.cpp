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

UNAVAILABLE(pf)
UNAVAILABLE(mbuf)
UNAVAILABLE(sensor)
UNAVAILABLE(cpuiow)
UNAVAILABLE(flukso)
#undef UNAVAILABLE

void pf_prepare() { pf_unavailable(); }
void pf_start(stream *) { pf_unavailable(); }
void pf_sample() { pf_unavailable(); }
int32_t pf_pack(uint8_t *, int32_t, stream *) { pf_unavailable(); }

void mbuf_start(stream *) { mbuf_unavailable(); }
int32_t mbuf_pack(uint8_t *, int32_t, stream *) { mbuf_unavailable(); }

void sensor_prepare() { sensor_unavailable(); }
void sensor_start(stream *) { sensor_unavailable(); }
int32_t sensor_pack(uint8_t *, int32_t, stream *) { sensor_unavailable(); }

void cpuiow_start(stream *) { cpuiow_unavailable(); }
void cpuiow_sample() { cpuiow_unavailable(); }
int32_t cpuiow_pack(uint8_t *, int32_t, stream *) { cpuiow_unavailable(); }

void flukso_start(stream *) { flukso_unavailable(); }
void flukso_sample() { flukso_unavailable(); }
int32_t flukso_pack(uint8_t *, int32_t, stream *) { flukso_unavailable(); }
