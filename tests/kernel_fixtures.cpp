// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The records are built from FreeBSD's layouts as the stand-in's headers
// give them (their sizes and offsets asserted there).
#include "kernel_fixtures.h"

#include <cstdio>
#include <cstring>
#include <netpfil/pf/pf.h>
#include <sys/sf_buf.h>
#include <vm/uma.h>

template <typename T>
static std::string bytes(const T &record)
{
    return std::string(reinterpret_cast<const char *>(&record), sizeof(record));
}

std::string pf_status_record(bool running)
{
    pf_status s = {};
    s.running = running;
    s.states = 1500;
    s.src_nodes = 12;
    s.fcounters[FCNT_STATE_SEARCH] = 900000;
    s.fcounters[FCNT_STATE_INSERT] = 40000;
    s.fcounters[FCNT_STATE_REMOVALS] = 38500;
    // Reason i counted 100 × (i + 1) + i times: 100, 201, 302, …
    for (int i = 0; i < PFRES_MAX; i++)
        s.counters[i] = 100 * (i + 1) + i;
    s.lcounters[LCNT_OVERLOAD_TABLE] = 7;
    s.lcounters[LCNT_STATES] = 99; // not sent
    s.scounters[SCNT_SRC_NODE_SEARCH] = 98;
    s.since = 1700000000;
    strcpy(s.ifname, "em0");
    return bytes(s);
}

struct zone_figures {
    const char *name;
    uint32_t flags, limit, zone_free, keg_free;
    uint64_t allocs, frees, fails, sleeps;
    // Per CPU: allocations, frees and free items in its cache.
    uint64_t cpu[2][3];
};

std::string zone_stats_stream()
{
    const zone_figures zones[] = {
        {"UMA Kegs", 0, 0, 1, 2, 9999, 1, 5, 5, {{9, 0, 3}, {9, 0, 3}}},
        {"mbuf", 0, 0, 50, 100, 1000, 400, 1, 2, {{300, 100, 20}, {200, 100, 30}}},
        // A secondary zone: its keg's free items are the primary's.
        {"mbuf_packet", UTH_ZONE_SECONDARY, 0, 40, 999, 500, 200, 3, 0, {{0, 0, 10}, {0, 0, 0}}},
        {"mbuf_cluster", 0, 250000, 60, 70, 800, 300, 4, 1, {{0, 0, 5}, {0, 0, 5}}},
        {"mbuf_jumbo_page", 0, 125000, 0, 0, 90, 30, 0, 0, {}},
        {"mbuf_jumbo_9k", 0, 37000, 0, 0, 5, 5, 2, 0, {}},
        {"mbuf_jumbo_16k", 0, 20000, 0, 0, 3, 1, 0, 0, {}},
    };
    uma_stream_header h = {UMA_STREAM_VERSION, 2, static_cast<uint32_t>(sizeof(zones) / sizeof(zones[0])), 0};
    std::string out = bytes(h);
    for (const zone_figures &z : zones) {
        uma_type_header t = {};
        snprintf(t.uth_name, sizeof(t.uth_name), "%s", z.name);
        t.uth_size = 256;
        t.uth_zone_flags = z.flags;
        t.uth_limit = z.limit;
        t.uth_zone_free = z.zone_free;
        t.uth_keg_free = z.keg_free;
        t.uth_allocs = z.allocs;
        t.uth_frees = z.frees;
        t.uth_fails = z.fails;
        t.uth_sleeps = z.sleeps;
        out += bytes(t);
        for (const auto &cpu : z.cpu) {
            uma_percpu_stat p = {};
            p.ups_allocs = cpu[0];
            p.ups_frees = cpu[1];
            p.ups_cache_free = cpu[2];
            out += bytes(p);
        }
    }
    return out;
}

std::string sfstat_record()
{
    sfstat s = {};
    s.sf_syscalls = 77;
    s.sf_noiocnt = 66;
    s.sf_iocnt = 11;
    s.sf_pages_read = 222;
    return bytes(s);
}

std::string arcstats_text()
{
    return "13 1 0x01 147 39984 8242119430 2185342889611\n"
           "name                            type data\n"
           "hits                            4    1234567\n"
           "misses                          4    89012\n"
           "demand_data_hits                4    1000000\n"
           "demand_data_misses              4    50000\n"
           "demand_metadata_hits            4    200000\n"
           "prefetch_data_hits              4    30000\n"
           "prefetch_data_misses            4    25000\n"
           "deleted                         4    4242\n"
           "size                            4    4294967296\n"
           "c                               4    8589934592\n"
           "c_min                           4    1073741824\n"
           "c_max                           4    17179869184\n"
           "mfu_size                        4    1610612736\n"
           "mru_size                        4    2147483648\n"
           "metadata_size                   4    536870912\n"
           "compressed_size                 4    3221225472\n"
           "uncompressed_size               4    6442450944\n"
           "l2_hits                         4    700\n"
           "l2_misses                       4    300\n"
           "l2_size                         4    34359738368\n";
}

void write_kernel_fixtures(const temp_dir &tree)
{
    tree.write("sys/class/thermal/thermal_zone0/temp", "45000\n");
    tree.write("sys/class/thermal/thermal_zone1/temp", "-5500\n");
    tree.write("sys/class/hwmon/hwmon0/name", "acpitz\n");
    tree.write("sys/class/hwmon/hwmon0/temp1_label", "Core 0\n"); // not coretemp's
    tree.write("sys/class/hwmon/hwmon0/temp1_input", "1000\n");
    tree.write("sys/class/hwmon/hwmon1/name", "coretemp\n");
    tree.write("sys/class/hwmon/hwmon1/temp1_label", "Package id 0\n");
    tree.write("sys/class/hwmon/hwmon1/temp1_input", "55000\n");
    tree.write("sys/class/hwmon/hwmon1/temp2_label", "Core 0\n");
    tree.write("sys/class/hwmon/hwmon1/temp2_input", "52000\n");
    tree.write("proc/spl/kstat/zfs/arcstats", arcstats_text());
    tree.write("dev/pf", pf_status_record());
    tree.write("sysctl/vm.zone_stats", zone_stats_stream());
    tree.write("sysctl/kern.ipc.sfstat", sfstat_record());
}
