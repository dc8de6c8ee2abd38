// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The zfs probe: ZFS's adaptive replacement cache (ARC) and its second
// level, from the kstat.zfs.misc.arcstats sysctls, resolved when the
// streams start and read once per tick. A host without ZFS is told once
// and sends nothing.
#include <cstdio>

#include "error.h"
#include "mib.h"
#include "pack.h"
#include "probes.h"
#include "types.h"

// The ARC's statistics in the stream's value order.
static const char *const STATISTICS[] = {
    "size",          "c",
    "c_min",         "c_max",
    "mfu_size",      "mru_size",
    "metadata_size", "hits",
    "misses",        "demand_data_hits",
    "demand_data_misses", "prefetch_data_hits",
    "prefetch_data_misses", "l2_size",
    "l2_hits",       "l2_misses",
    "deleted",       "compressed_size",
    "uncompressed_size",
};
enum { STATISTIC_COUNT = sizeof(STATISTICS) / sizeof(STATISTICS[0]), NAME_SIZE = 64 };
static_assert(STATISTIC_COUNT == catalogue::length(catalogue::ROWS[STREAM_ZFS].format),
              "one statistic per value of the zfs stream");

static mib mibs[STATISTIC_COUNT];
static uint64_t values[STATISTIC_COUNT];
static int valid;
static int told;

static void resolve_all()
{
    for (int i = 0; i < STATISTIC_COUNT; i++) {
        char name[NAME_SIZE];
        snprintf(name, sizeof(name), "kstat.zfs.misc.arcstats.%s", STATISTICS[i]);
        if (mib_resolve(name, &mibs[i]) || told)
            continue;
        // The ARC's size is there wherever ZFS is loaded; other figures
        // come and go between its versions.
        if (i == 0) {
            warning("zfs not available on this host: no sysctl %.200s; sending nothing", name);
            told = 1;
            return;
        }
        warning("zfs: no sysctl %.200s; sending 0 for it", name);
    }
    told = 1;
}

void zfs_start(stream *s)
{
    if (mibs[0].length == 0)
        resolve_all();
    info("started module zfs(%.200s)", s->argument);
}

void zfs_sample()
{
    valid = mib_read_unsigned(&mibs[0], &values[0]);
    for (int i = 1; valid && i < STATISTIC_COUNT; i++)
        if (!mib_read_unsigned(&mibs[i], &values[i]))
            values[i] = 0;
}

int32_t zfs_pack(uint8_t *buffer, int32_t space, stream *s)
{
    if (!valid)
        return 0;
    return pack_typed_array<STREAM_ZFS>(buffer, space, s->argument, values);
}
