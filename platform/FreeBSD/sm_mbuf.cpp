// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The mbuf probe: network buffers as netstat -m counts them, from the
// kernel allocator's statistics stream (vm.zone_stats: a header, then per
// zone its figures and one record per CPU) and the sendfile counters
// (kern.ipc.sfstat), read once per tick. A kernel without the stream is
// told once and sends nothing.
#include <sys/param.h>
#include <sys/mbuf.h>
#include <sys/sf_buf.h>
#include <sys/sysctl.h>
#include <vm/uma.h>

#include <cerrno>
#include <cstring>

#include "error.h"
#include "mib.h"
#include "pack.h"
#include "probes.h"
#include "types.h"
#include "xmalloc.h"


// The zones netstat -m reports, and what it takes from each.
enum { Z_MBUF, Z_PACKET, Z_CLUSTER, Z_JUMBOP, Z_JUMBO9, Z_JUMBO16, Z_COUNT };
static const char *const ZONE_NAMES[] = {
    MBUF_MEM_NAME,        MBUF_PACKET_MEM_NAME, MBUF_CLUSTER_MEM_NAME,
    MBUF_JUMBOP_MEM_NAME, MBUF_JUMBO9_MEM_NAME, MBUF_JUMBO16_MEM_NAME,
};
static_assert(sizeof(ZONE_NAMES) / sizeof(ZONE_NAMES[0]) == Z_COUNT, "a name per zone");

struct zone {
    uint64_t count; // allocated and not freed: in use
    uint64_t free;  // allocated and free, in the caches
    uint64_t limit;
    uint64_t failures;
    uint64_t sleeps;
};

struct zone_found {
    zone zones[Z_COUNT];
    unsigned present; // a bit per zone
};

enum {
    V_MBUFS, V_MBUFS_CACHED, V_MBUFS_ALLOCATED, V_CLUSTERS, V_CLUSTERS_CACHED, V_CLUSTERS_ALLOCATED,
    V_CLUSTERS_MAX, V_JUMBOP, V_JUMBO9, V_JUMBO16, V_DENIED, V_DELAYED, V_SENDFILE,
    V_SENDFILE_IO, V_SENDFILE_PAGES, V_COUNT
};
static_assert(V_COUNT == catalogue::length(catalogue::ROWS[STREAM_MBUF].format),
              "one figure per value of the mbuf stream");

static mib zone_stats_mib, sfstat_mib;
static char *zone_stats; // grows, never shrinks
static size_t zone_stats_size;
static uint32_t values[V_COUNT];
static int valid;
static int told_missing, told_unreadable;

void mbuf_start(stream *s)
{
    if (zone_stats_mib.length == 0 && !mib_resolve("vm.zone_stats", &zone_stats_mib) &&
        !told_missing) {
        warning("mbuf not available on this host: no sysctl vm.zone_stats; sending nothing");
        told_missing = 1;
    }
    if (sfstat_mib.length == 0)
        mib_resolve("kern.ipc.sfstat", &sfstat_mib);
    info("started module mbuf(%.200s)", s->argument);
}

// all takes mbuf where the kernel has the allocator's statistics.
void mbuf_discover(discover_found *found, void *receiver)
{
    mib stream;
    if (mib_resolve("vm.zone_stats", &stream))
        found(receiver, "");
}

// The stream, in a buffer that grows to what the kernel reports it needs
// (and an eighth more, for zones made meanwhile); its length, or 0.
static size_t read_zone_stats()
{
    size_t length = zone_stats_size;
    if (length > 0 && mib_read(&zone_stats_mib, zone_stats, &length) == 0)
        return length;
    if (zone_stats_size > 0 && errno != ENOMEM)
        return 0;
    // The first read, or more zones than the buffer holds.
    length = 0;
    if (mib_read(&zone_stats_mib, nullptr, &length) != 0)
        return 0;
    if (zone_stats)
        xfree(zone_stats);
    zone_stats_size = length + length / 8;
    zone_stats = static_cast<char *>(xmalloc(zone_stats_size));
    length = zone_stats_size;
    return mib_read(&zone_stats_mib, zone_stats, &length) == 0 ? length : 0;
}

// The six zones' figures as the allocator's statistics library sums
// them: its per-CPU caches into the zone's, and the free items of the
// shared keg only into the primary zone's. 1, or 0 (reason set) for a
// stream that is not one this probe reads.
static int read_zones(const char *stream, size_t length, zone_found *found, const char **reason)
{
    uma_stream_header header;
    if (length < sizeof(header)) {
        *reason = "shorter than its header";
        return 0;
    }
    memcpy(&header, stream, sizeof(header));
    if (header.ush_version != UMA_STREAM_VERSION) {
        *reason = "of another version";
        return 0;
    }
    uint64_t record = sizeof(uma_type_header) +
                      static_cast<uint64_t>(header.ush_maxcpus) * sizeof(uma_percpu_stat);
    if (static_cast<uint64_t>(header.ush_count) * record > length - sizeof(header)) {
        *reason = "shorter than its zones";
        return 0;
    }
    memset(found, 0, sizeof(*found));
    const char *p = stream + sizeof(header);
    for (uint32_t i = 0; i < header.ush_count; i++, p += record) {
        uma_type_header type;
        memcpy(&type, p, sizeof(type));
        int z = 0;
        while (z < Z_COUNT && strncmp(type.uth_name, ZONE_NAMES[z], sizeof(type.uth_name)) != 0)
            z++;
        if (z == Z_COUNT)
            continue;
        zone *out = &found->zones[z];
        uint64_t allocs = type.uth_allocs, frees = type.uth_frees, free = type.uth_zone_free;
        for (uint32_t cpu = 0; cpu < header.ush_maxcpus; cpu++) {
            uma_percpu_stat stat;
            memcpy(&stat, p + sizeof(type) + cpu * sizeof(stat), sizeof(stat));
            allocs += stat.ups_allocs;
            frees += stat.ups_frees;
            free += stat.ups_cache_free;
        }
        if (!(type.uth_zone_flags & UTH_ZONE_SECONDARY))
            free += type.uth_keg_free;
        *out = {allocs - frees, free, type.uth_limit, type.uth_fails, type.uth_sleeps};
        found->present |= 1u << z;
    }
    if (!(found->present & (1u << Z_MBUF))) {
        *reason = "without the mbuf zone";
        return 0;
    }
    return 1;
}

void mbuf_sample()
{
    valid = 0;
    if (zone_stats_mib.length == 0)
        return;
    size_t length = read_zone_stats();
    zone_found found;
    const char *reason = "unreadable";
    if (length == 0 || !read_zones(zone_stats, length, &found, &reason)) {
        if (!told_unreadable)
            warning("mbuf: vm.zone_stats %.200s; sending nothing", reason);
        told_unreadable = 1;
        return;
    }
    told_unreadable = 0;
    const zone *z = found.zones;
    // Packets are mbufs with a cluster attached, counted in their own
    // zone; their free ones hold clusters the cluster zone counts in use.
    uint64_t figures[V_COUNT] = {};
    figures[V_MBUFS] = z[Z_MBUF].count + z[Z_PACKET].count;
    figures[V_MBUFS_CACHED] = z[Z_MBUF].free + z[Z_PACKET].free;
    figures[V_MBUFS_ALLOCATED] = figures[V_MBUFS] + figures[V_MBUFS_CACHED];
    figures[V_CLUSTERS] = z[Z_CLUSTER].count - z[Z_PACKET].free;
    figures[V_CLUSTERS_CACHED] = z[Z_CLUSTER].free + z[Z_PACKET].free;
    figures[V_CLUSTERS_ALLOCATED] = z[Z_CLUSTER].count + z[Z_CLUSTER].free;
    figures[V_CLUSTERS_MAX] = z[Z_CLUSTER].limit;
    figures[V_JUMBOP] = z[Z_JUMBOP].count;
    figures[V_JUMBO9] = z[Z_JUMBO9].count;
    figures[V_JUMBO16] = z[Z_JUMBO16].count;
    for (int i = 0; i < Z_COUNT; i++) {
        figures[V_DENIED] += z[i].failures;
        figures[V_DELAYED] += z[i].sleeps;
    }
    struct sfstat sendfile = {};
    size_t size = sizeof(sendfile);
    if (sfstat_mib.length == 0 || mib_read(&sfstat_mib, &sendfile, &size) != 0)
        memset(&sendfile, 0, sizeof(sendfile));
    figures[V_SENDFILE] = sendfile.sf_syscalls;
    figures[V_SENDFILE_IO] = sendfile.sf_iocnt;
    figures[V_SENDFILE_PAGES] = sendfile.sf_pages_read;
    // Thirty-two bits on the wire: counters wrap there, levels never reach it.
    for (int i = 0; i < V_COUNT; i++)
        values[i] = static_cast<uint32_t>(figures[i]);
    valid = 1;
}

int32_t mbuf_pack(uint8_t *buffer, int32_t space, stream *s)
{
    if (!valid)
        return 0;
    return pack_typed_array<STREAM_MBUF>(buffer, space, s->argument, values);
}
