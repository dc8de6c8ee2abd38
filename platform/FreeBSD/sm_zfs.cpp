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

// Each value of the stream, by its data source's name, and the ARC's
// statistic it is.
struct statistic {
    const char *source;
    const char *arcstat;
};
static constexpr statistic STATISTICS[] = {
    {"size", "size"},
    {"target", "c"},
    {"min", "c_min"},
    {"max", "c_max"},
    {"mfu_size", "mfu_size"},
    {"mru_size", "mru_size"},
    {"metadata_size", "metadata_size"},
    {"hits", "hits"},
    {"misses", "misses"},
    {"demand_hits", "demand_data_hits"},
    {"demand_misses", "demand_data_misses"},
    {"prefetch_hits", "prefetch_data_hits"},
    {"prefetch_misses", "prefetch_data_misses"},
    {"l2_size", "l2_size"},
    {"l2_hits", "l2_hits"},
    {"l2_misses", "l2_misses"},
    {"evictions", "deleted"},
    {"compressed_size", "compressed_size"},
    {"uncompressed_size", "uncompressed_size"},
};
enum { STATISTIC_COUNT = sizeof(STATISTICS) / sizeof(STATISTICS[0]), NAME_SIZE = 64 };

static constexpr bool in_the_catalogue_order()
{
    const stream_row &row = catalogue::ROWS[STREAM_ZFS];
    if (row.source_count != STATISTIC_COUNT)
        return false;
    for (int i = 0; i < STATISTIC_COUNT; i++)
        if (!catalogue::same(STATISTICS[i].source, row.sources[i].name))
            return false;
    return true;
}
static_assert(in_the_catalogue_order(), "one statistic per value of the zfs stream, in order");

static mib mibs[STATISTIC_COUNT];
static uint64_t values[STATISTIC_COUNT];
static int valid;
static int told;

static void resolve_all()
{
    for (int i = 0; i < STATISTIC_COUNT; i++) {
        char name[NAME_SIZE];
        snprintf(name, sizeof(name), "kstat.zfs.misc.arcstats.%s", STATISTICS[i].arcstat);
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

// all takes zfs where ZFS is loaded.
void zfs_discover(discover_found *found, void *receiver)
{
    mib size;
    if (mib_resolve("kstat.zfs.misc.arcstats.size", &size))
        found(receiver, "");
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
