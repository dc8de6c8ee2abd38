// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The probes' per-stream state, made at a probe's first call and pointed
// at by the stream record, which knows nothing of it: one fixed union for
// all probes, where each probe that keeps state adds its record.
#pragma once

#include <cstdint>

enum { CPU_STATE_COUNT = 5, DF_SOURCE_SIZE = 64, SENSOR_MIB_SIZE = 24 };

// cpu: one CPU's counters and shares, primed at start.
struct cpu_probe_state {
    uint8_t index;
    int64_t current[CPU_STATE_COUNT];
    int64_t previous[CPU_STATE_COUNT];
    int64_t differences[CPU_STATE_COUNT];
    int64_t shares[CPU_STATE_COUNT]; // per mille
};

// df: the mount source the argument resolved to; empty when none, or when
// the argument named a mount point instead.
struct df_probe_state {
    char mount_source[DF_SOURCE_SIZE];
    uint8_t on_mount_point; // the argument is looked up as a mount point
};

// smart: index of the stream's drive record.
struct smart_probe_state {
    int32_t drive;
};

// sensor: the sysctl the argument names, resolved once, and how its
// integer reads.
struct sensor_probe_state {
    int32_t mib[SENSOR_MIB_SIZE];
    uint32_t length;  // components; 0 while the sysctl is not there
    int32_t kind;     // the sysctl's integer type
    int32_t kelvin;   // decimals of a temperature in kelvin; -1: a plain integer
    uint8_t told; // what was told of a stream that sends nothing
};

union probe_states {
    uint64_t align;
    cpu_probe_state cpu;
    df_probe_state df;
    smart_probe_state smart;
    sensor_probe_state sensor;
    unsigned char bytes[256];
};

static_assert(sizeof(probe_states) == 256, "the union keeps one size");

struct stream;
// The probe state of the stream, made zero-filled at the first call.
probe_states *stream_probe_state(stream *s);
