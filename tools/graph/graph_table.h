// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The graphs colvo-graph draws of each stream type: what each graph shows
// (expressions over the type's data sources), its colours and legends.
// Only the graph tool compiles them; one row per stream type of the
// catalogue, each expression naming only data sources of its own type,
// both checked while compiling.
#pragma once

#include "catalogue.h"

// How an item is drawn; DRAW_BELOW mirrors it under the axis (outgoing
// traffic, writes) while its legend still shows the positive figures.
enum graph_draw { DRAW_LINE = 0, DRAW_AREA = 1, DRAW_STACK = 2, DRAW_BELOW = 4 };

struct graph_item {
    const char *expr;   // RPN over the type's data source names; counters are rates
    const char *legend; // what the item is
    const char *color;  // "#rrggbb"
    int draw;           // graph_draw, DRAW_BELOW may be or'ed in
};

enum graph_flag {
    GRAPH_PERCENT = 1, // fixed 0..100
    GRAPH_BINARY = 2,  // bytes in powers of 1024
    GRAPH_ZERO = 4,    // never below 0
};

struct graph_def {
    const char *name;  // part of the image file name
    const char *title; // after host and stream in the graph's title
    const char *unit;  // vertical label
    int flags;
    const graph_item *items;
    int count; // 0: every data source as a line of its own
};

struct type_graphs {
    int type;
    const graph_def *graphs;
    int count; // 0: a type no configuration names
};

namespace graph_table {

template <int N>
constexpr graph_def graph(const char *name, const char *title, const char *unit, int flags,
                          const graph_item (&items)[N])
{
    return {name, title, unit, flags, items, N};
}

// A graph of every data source as a line of its own.
constexpr graph_def lines(const char *name, const char *title, const char *unit)
{
    return {name, title, unit, 0, nullptr, 0};
}

// Graphs. Counters are DERIVE sources, so their expressions are already
// rates per second.
inline constexpr graph_item CPU_SHARE[] = {
    {"user", "user", "#3465a4", DRAW_AREA},      {"nice", "nice", "#75507b", DRAW_STACK},
    {"system", "system", "#cc0000", DRAW_STACK}, {"interrupt", "interrupt", "#f57900", DRAW_STACK},
    {"idle", "idle", "#e8e8e4", DRAW_STACK}};
inline constexpr graph_item CPUIOW_SHARE[] = {
    {"user", "user", "#3465a4", DRAW_AREA},      {"nice", "nice", "#75507b", DRAW_STACK},
    {"system", "system", "#cc0000", DRAW_STACK}, {"interrupt", "interrupt", "#f57900", DRAW_STACK},
    {"iowait", "I/O wait", "#c4a000", DRAW_STACK}, {"idle", "idle", "#e8e8e4", DRAW_STACK}};
inline constexpr graph_item MEM_MEMORY[] = {{"used", "used", "#cc0000", DRAW_AREA},
                                            {"free", "free", "#73d216", DRAW_STACK},
                                            {"active", "active", "#204a87", DRAW_LINE}};
inline constexpr graph_item MEM_SWAP[] = {
    {"swap_used", "swap used", "#c17d11", DRAW_AREA},
    {"swap_total,swap_used,-", "swap free", "#e9b96e", DRAW_STACK}};
inline constexpr graph_item LOAD_LINES[] = {{"load1", "1 minute", "#cc0000", DRAW_LINE},
                                            {"load5", "5 minutes", "#f57900", DRAW_LINE},
                                            {"load15", "15 minutes", "#3465a4", DRAW_LINE}};
inline constexpr graph_item IF_BITS[] = {{"ibytes,8,*", "in", "#4e9a06", DRAW_AREA},
                                         {"obytes,8,*", "out", "#3465a4", DRAW_AREA | DRAW_BELOW}};
inline constexpr graph_item IF_PACKETS[] = {
    {"ipackets", "in", "#4e9a06", DRAW_AREA},
    {"opackets", "out", "#3465a4", DRAW_AREA | DRAW_BELOW},
    {"ierrors,oerrors,+", "errors", "#cc0000", DRAW_LINE},
    {"iqdrops", "input drops", "#f57900", DRAW_LINE},
    {"collisions", "collisions", "#75507b", DRAW_LINE}};
inline constexpr graph_item IO_OPS[] = {
    {"rtransfers", "reads", "#4e9a06", DRAW_AREA},
    {"wtransfers", "writes", "#3465a4", DRAW_AREA | DRAW_BELOW}};
inline constexpr graph_item IO_BYTES[] = {{"rbytes", "read", "#4e9a06", DRAW_AREA},
                                          {"wbytes", "written", "#3465a4", DRAW_AREA | DRAW_BELOW}};
// df counts 512-byte blocks.
inline constexpr graph_item DF_SPACE[] = {{"blocks,free,-,512,*", "used", "#cc0000", DRAW_AREA},
                                          {"free,512,*", "free", "#73d216", DRAW_STACK}};
inline constexpr graph_item DF_INODES[] = {{"files,ffree,-", "in use", "#75507b", DRAW_AREA},
                                           {"files", "total", "#555753", DRAW_LINE}};
inline constexpr graph_item PROC_COUNT[] = {{"count", "processes", "#75507b", DRAW_AREA}};
inline constexpr graph_item PROC_CPU[] = {{"cpu_pct", "CPU", "#cc0000", DRAW_AREA}};
inline constexpr graph_item PROC_MEMORY[] = {{"rss", "resident", "#73d216", DRAW_AREA},
                                             {"size", "virtual", "#3465a4", DRAW_LINE}};
inline constexpr graph_item PFQ_BYTES[] = {{"sent_bytes", "sent", "#4e9a06", DRAW_AREA},
                                           {"drop_bytes", "dropped", "#cc0000", DRAW_LINE}};

inline constexpr graph_item SENSOR_LINE[] = {{"value", "reading", "#cc0000", DRAW_LINE}};
inline constexpr graph_item ZFS_SIZE[] = {{"mru_size", "MRU", "#3465a4", DRAW_AREA},
                                          {"mfu_size", "MFU", "#73d216", DRAW_STACK},
                                          {"size", "size", "#204a87", DRAW_LINE},
                                          {"target", "target", "#f57900", DRAW_LINE},
                                          {"max", "max", "#555753", DRAW_LINE}};
inline constexpr graph_item ZFS_ACCESSES[] = {{"hits", "hits", "#4e9a06", DRAW_AREA},
                                              {"misses", "misses", "#cc0000", DRAW_AREA | DRAW_BELOW},
                                              {"l2_hits", "L2 hits", "#3465a4", DRAW_LINE},
                                              {"l2_misses", "L2 misses", "#f57900", DRAW_LINE}};
inline constexpr graph_item ZFS_RATIO[] = {
    {"hits,hits,misses,+,/,100,*", "ARC", "#204a87", DRAW_LINE},
    {"demand_hits,demand_hits,demand_misses,+,/,100,*", "demand data", "#4e9a06", DRAW_LINE},
    {"prefetch_hits,prefetch_hits,prefetch_misses,+,/,100,*", "prefetch data", "#c4a000",
     DRAW_LINE}};
inline constexpr graph_item PF_STATES[] = {{"states", "states", "#3465a4", DRAW_AREA},
                                           {"src_nodes", "source nodes", "#75507b", DRAW_LINE}};
inline constexpr graph_item PF_TABLE[] = {{"searches", "searches", "#555753", DRAW_LINE},
                                          {"inserts", "inserts", "#4e9a06", DRAW_LINE},
                                          {"removals", "removals", "#cc0000", DRAW_LINE}};
inline constexpr graph_item PF_REASONS[] = {
    {"match", "match", "#3465a4", DRAW_LINE},
    {"bad_offset,fragment,+,short,+,normalize,+,memory,+,bad_timestamp,+,congestion,+,"
     "ip_option,+,proto_cksum,+,state_insert,+,map_failed,+",
     "dropped, other reasons", "#f57900", DRAW_AREA},
    {"state_mismatch", "state mismatch", "#c4a000", DRAW_STACK},
    {"state_limit,src_limit,+", "limits", "#cc0000", DRAW_STACK}};
inline constexpr graph_item MBUF_MBUFS[] = {{"mbufs", "in use", "#3465a4", DRAW_AREA},
                                            {"mbufs_cached", "cached", "#babdb6", DRAW_STACK}};
inline constexpr graph_item MBUF_CLUSTERS[] = {
    {"clusters", "in use", "#3465a4", DRAW_AREA},
    {"clusters_cached", "cached", "#babdb6", DRAW_STACK},
    {"jumbo_page,jumbo_9k,+,jumbo_16k,+", "jumbo in use", "#75507b", DRAW_LINE},
    {"clusters_max", "max", "#cc0000", DRAW_LINE}};
inline constexpr graph_item MBUF_FAILURES[] = {{"denied", "denied", "#cc0000", DRAW_LINE},
                                               {"delayed", "delayed", "#f57900", DRAW_LINE}};

inline constexpr graph_def CPU_GRAPHS[] = {
    graph("share", "CPU time", "%", GRAPH_PERCENT, CPU_SHARE)};
inline constexpr graph_def CPUIOW_GRAPHS[] = {
    graph("share", "CPU time", "%", GRAPH_PERCENT, CPUIOW_SHARE)};
inline constexpr graph_def MEM_GRAPHS[] = {
    graph("memory", "memory", "bytes", GRAPH_BINARY | GRAPH_ZERO, MEM_MEMORY),
    graph("swap", "swap", "bytes", GRAPH_BINARY | GRAPH_ZERO, MEM_SWAP)};
inline constexpr graph_def LOAD_GRAPHS[] = {
    graph("load", "load average", "load", GRAPH_ZERO, LOAD_LINES)};
inline constexpr graph_def IF_GRAPHS[] = {
    graph("bits", "traffic", "bits/s", 0, IF_BITS),
    graph("packets", "packets", "packets/s", 0, IF_PACKETS)};
inline constexpr graph_def IO_GRAPHS[] = {
    graph("ops", "operations", "operations/s", 0, IO_OPS),
    graph("bytes", "transfer", "bytes/s", 0, IO_BYTES)};
inline constexpr graph_def DF_GRAPHS[] = {
    graph("space", "space", "bytes", GRAPH_BINARY | GRAPH_ZERO, DF_SPACE),
    graph("inodes", "inodes", "inodes", GRAPH_ZERO, DF_INODES)};
inline constexpr graph_def PROC_GRAPHS[] = {
    graph("count", "processes", "processes", GRAPH_ZERO, PROC_COUNT),
    graph("cpu", "CPU", "%", GRAPH_ZERO, PROC_CPU),
    graph("memory", "memory", "bytes", GRAPH_BINARY | GRAPH_ZERO, PROC_MEMORY)};
inline constexpr graph_def PFQ_GRAPHS[] = {
    graph("bytes", "queue", "bytes/s", GRAPH_ZERO, PFQ_BYTES)};
inline constexpr graph_def SMART_GRAPHS[] = {
    lines("attributes", "SMART attributes", "normalized value")};
inline constexpr graph_def SENSOR_GRAPHS[] = {
    graph("value", "reading", "degrees Celsius", 0, SENSOR_LINE)};
inline constexpr graph_def ZFS_GRAPHS[] = {
    graph("size", "ARC size", "bytes", GRAPH_BINARY | GRAPH_ZERO, ZFS_SIZE),
    graph("accesses", "ARC accesses", "accesses/s", 0, ZFS_ACCESSES),
    graph("ratio", "ARC hit ratio", "%", GRAPH_PERCENT, ZFS_RATIO)};
inline constexpr graph_def PF_GRAPHS[] = {
    graph("states", "state table", "entries", GRAPH_ZERO, PF_STATES),
    graph("table", "state table changes", "per second", GRAPH_ZERO, PF_TABLE),
    graph("packets", "packets by reason", "packets/s", GRAPH_ZERO, PF_REASONS)};
inline constexpr graph_def MBUF_GRAPHS[] = {
    graph("mbufs", "mbufs", "mbufs", GRAPH_ZERO, MBUF_MBUFS),
    graph("clusters", "mbuf clusters", "clusters", GRAPH_ZERO, MBUF_CLUSTERS),
    graph("failures", "requests failed", "requests/s", GRAPH_ZERO, MBUF_FAILURES)};
inline constexpr graph_def VALUE_GRAPHS[] = {lines("values", "values", "")};

#define DRAWN(graphs) graphs, catalogue::count(graphs)

// Row i draws type i.
inline constexpr type_graphs ROWS[] = {
    {STREAM_IO1, DRAWN(VALUE_GRAPHS)},
    {STREAM_CPU, DRAWN(CPU_GRAPHS)},
    {STREAM_MEM1, DRAWN(MEM_GRAPHS)},
    {STREAM_IF1, DRAWN(IF_GRAPHS)},
    {STREAM_PF, DRAWN(PF_GRAPHS)},
    {STREAM_DEBUG, DRAWN(VALUE_GRAPHS)},
    {STREAM_PROC, DRAWN(PROC_GRAPHS)},
    {STREAM_MBUF, DRAWN(MBUF_GRAPHS)},
    {STREAM_SENSOR, DRAWN(SENSOR_GRAPHS)},
    {STREAM_IO, DRAWN(IO_GRAPHS)},
    {STREAM_PFQ, DRAWN(PFQ_GRAPHS)},
    {STREAM_DF, DRAWN(DF_GRAPHS)},
    {STREAM_MEM, DRAWN(MEM_GRAPHS)},
    {STREAM_IF, DRAWN(IF_GRAPHS)},
    {STREAM_CPUIOW, DRAWN(CPUIOW_GRAPHS)},
    {STREAM_SMART, DRAWN(SMART_GRAPHS)},
    {STREAM_LOAD, DRAWN(LOAD_GRAPHS)},
    {STREAM_FLUKSO, DRAWN(VALUE_GRAPHS)},
    {STREAM_ALLFORMATS, nullptr, 0}, // no configuration names it
    {STREAM_ZFS, DRAWN(ZFS_GRAPHS)},
};

#undef DRAWN

constexpr int ROW_COUNT = static_cast<int>(sizeof(ROWS) / sizeof(ROWS[0]));

// The n characters at text are the name of one of the row's data sources.
constexpr bool names_a_source(const stream_row &r, const char *text, int n)
{
    for (int a = 0; a < r.source_count; a++) {
        const char *name = r.sources[a].name;
        int i = 0;
        while (i < n && name[i] == text[i])
            i++;
        if (i == n && name[n] == '\0')
            return true;
    }
    return false;
}

// Every word of the expression that begins in lower case (the rest are
// numbers and operators) is a data source of the type: a typo would only
// show as a graph that fails to draw.
constexpr bool expression_is_sound(const stream_row &r, const char *expr)
{
    while (*expr) {
        int n = 0;
        while (expr[n] && expr[n] != ',')
            n++;
        if (expr[0] >= 'a' && expr[0] <= 'z' && !names_a_source(r, expr, n))
            return false;
        expr += expr[n] ? n + 1 : n;
    }
    return true;
}

constexpr bool colour_is_sound(const char *c)
{
    return c[0] == '#' && catalogue::length(c) == 7;
}

constexpr bool rows_are_sound()
{
    for (int i = 0; i < ROW_COUNT; i++) {
        const type_graphs &t = ROWS[i];
        if (t.type != i || (t.count > 0) != (stream_type_named(i) != 0))
            return false;
        for (int g = 0; g < t.count; g++)
            for (int k = 0; k < t.graphs[g].count; k++) {
                const graph_item &item = t.graphs[g].items[k];
                if (!expression_is_sound(catalogue::ROWS[i], item.expr) ||
                    !colour_is_sound(item.color))
                    return false;
            }
    }
    return true;
}

} // namespace graph_table

static_assert(graph_table::ROW_COUNT == STREAM_TYPE_COUNT, "one graph row per stream type");
static_assert(graph_table::rows_are_sound(),
              "row i draws type i, every named type has graphs, and their expressions name "
              "only data sources of the type, in colours \"#rrggbb\"");

// The graphs of a type; count set to their number. Null for a type
// without keyword.
const graph_def *stream_graphs(int type, int *count);
