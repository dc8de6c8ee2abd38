// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The probe table: the monitor's one way to the probes, indexed by stream
// type, checked against the catalogue while compiling.
#include "probe.h"
#include "probes.h"

struct probe_rows {
    probe_entry row[PROBE_TABLE_SIZE];
};

static constexpr probe_rows ROWS = {{
    {STREAM_IO1, 0, nullptr, io_start, io_sample, io_pack, nullptr, 0},
    {STREAM_CPU, 0, nullptr, cpu_start, cpu_sample, cpu_pack, cpu_discover, 1},
    {STREAM_MEM1, 0, nullptr, mem_start, mem_sample, mem_pack, nullptr, 0},
    {STREAM_IF1, 0, nullptr, if_start, if_sample, if_pack, nullptr, 0},
    {STREAM_PF, 0, pf_prepare, pf_start, pf_sample, pf_pack, nullptr, 0},
    {STREAM_DEBUG, 0, nullptr, debug_start, nullptr, debug_pack, nullptr, 0},
    {STREAM_PROC, 0, proc_prepare, proc_start, proc_sample, proc_pack, nullptr, 0},
    {STREAM_MBUF, 0, nullptr, mbuf_start, mbuf_sample, mbuf_pack, mbuf_discover, 1},
    {STREAM_SENSOR, 0, nullptr, sensor_start, nullptr, sensor_pack, sensor_discover, 1},
    {STREAM_IO, 0, nullptr, io_start, io_sample, io_pack, io_discover, 1},
    {STREAM_PFQ, 0, pfq_prepare, pfq_start, pfq_sample, pfq_pack, nullptr, 0},
    {STREAM_DF, 0, nullptr, df_start, df_sample, df_pack, df_discover, 1},
    {STREAM_MEM, 0, nullptr, mem_start, mem_sample, mem_pack, nullptr, 1},
    {STREAM_IF, 0, nullptr, if_start, if_sample, if_pack, if_discover, 1},
    {STREAM_CPUIOW, 0, nullptr, cpuiow_start, cpuiow_sample, cpuiow_pack, nullptr, 0},
    {STREAM_SMART, 0, nullptr, smart_start, smart_sample, smart_pack, smart_discover, 1},
    {STREAM_LOAD, 0, nullptr, load_start, load_sample, load_pack, nullptr, 1},
    {STREAM_FLUKSO, 0, nullptr, flukso_start, flukso_sample, flukso_pack, nullptr, 0},
    {STREAM_TYPE_COUNT, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0}, // STREAM_ALLFORMATS
    {STREAM_ZFS, 0, nullptr, zfs_start, zfs_sample, zfs_pack, zfs_discover, 1},
}};

// A named type's entry is its own; a type without keyword has the empty
// entry. (A function's address is not a constant to every compiler, so
// that each named entry starts and packs is the table's test.)
static constexpr bool rows_follow_the_types()
{
    for (int t = 0; t < PROBE_TABLE_SIZE; t++) {
        const probe_entry &e = ROWS.row[t];
        if (stream_type_named(t) ? e.type != t
                                 : e.type != STREAM_TYPE_COUNT || e.prepare || e.start ||
                                       e.sample || e.pack || e.discover || e.in_all)
            return false;
    }
    return true;
}
static_assert(rows_follow_the_types(), "the probe table has a row per stream type, in type order");

static probe_rows rows = ROWS;
probe_entry (&probe_table)[PROBE_TABLE_SIZE] = rows.row;
