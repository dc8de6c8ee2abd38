// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The operations of every probe module, as the probe table refers to them.
#pragma once

#include <cstdint>

#include "lists.h"
#include "probe.h"
#include "probe_state.h"

#define PROBE_OPS(name)                                                                           \
    void name##_start(stream *s);                                                                 \
    void name##_sample();                                                                         \
    int32_t name##_pack(uint8_t *buffer, int32_t space, stream *s);

PROBE_OPS(cpu)
PROBE_OPS(mem)
PROBE_OPS(if)
PROBE_OPS(io)
PROBE_OPS(df)
PROBE_OPS(proc)
PROBE_OPS(pfq)
PROBE_OPS(smart)
PROBE_OPS(load)
PROBE_OPS(pf)
PROBE_OPS(mbuf)
PROBE_OPS(zfs)
PROBE_OPS(cpuiow)
PROBE_OPS(flukso)
#undef PROBE_OPS

void cpu_discover(discover_found *found, void *receiver);
void if_discover(discover_found *found, void *receiver);
void io_discover(discover_found *found, void *receiver);
void df_discover(discover_found *found, void *receiver);
void smart_discover(discover_found *found, void *receiver);
void sensor_discover(discover_found *found, void *receiver);
void zfs_discover(discover_found *found, void *receiver);
void mbuf_discover(discover_found *found, void *receiver);
// The direct-access devices (disks) with statistics, as io(*) names them.
void disk_discover(discover_found *found, void *receiver);

void proc_prepare();
void pfq_prepare();
void pf_prepare();
void sensor_start(stream *s);
int32_t sensor_pack(uint8_t *buffer, int32_t space, stream *s);
void debug_start(stream *s);
int32_t debug_pack(uint8_t *buffer, int32_t space, stream *s);

// log2 of a page size, as the probes turn page counts into bytes.
unsigned page_shift(long page_size);
// Per-mille shares of the counters' summed change since the previous call,
// rounded half up; stores current as previous. Returns the total change.
int32_t percentages(int count, int64_t *shares, const int64_t *current, int64_t *previous,
                    int64_t *differences);

// The pfq snapshot's room in queue records (it only grows); for tests.
uint32_t pfq_capacity();
// The decimals of a sysctl's temperature in kelvin by its format ("IK"
// tenths, "IKn" n decimals), or -1 for any other integer.
int sensor_kelvin_decimals(const char *format);
// A sensor's integer in millionths of what it is sent as: degrees
// Celsius for kelvin with those decimals, the integer itself for -1;
// past the range of a D value, its nearest end.
int64_t sensor_millionths(int64_t value, int kelvin);
// Twelve normalized attribute values from 512 bytes of SMART data.
void smart_decode(const uint8_t *data, int32_t values[12]);
