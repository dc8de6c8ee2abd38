// The description of every stream type: data source names and kinds in
// value order (colvo-mkrrd creates databases from them, colvo-top tells
// counters from gauges by them) and the graphs colvo-graph draws.
#include "datasources.h"

#include "types.h"

#define G(name) {name, DS_GAUGE}
#define C(name) {name, DS_COUNTER}

static const data_source io1_ds[] = {G("v1"), G("v2"), G("v3")};
static const data_source cpu_ds[] = {G("user"), G("nice"), G("system"), G("interrupt"),
                                     G("idle")};
static const data_source mem_ds[] = {G("active"), G("used"), G("free"), G("swap_used"),
                                     G("swap_total")};
static const data_source if_ds[] = {C("ipackets"),   C("opackets"), C("ibytes"), C("obytes"),
                                    C("imcasts"),    C("omcasts"),  C("ierrors"), C("oerrors"),
                                    C("collisions"), C("iqdrops")};
static const data_source pf_ds[] = {G("v1"),  G("v2"),  G("v3"),  G("v4"),  G("v5"),  G("v6"),
                                    G("v7"),  G("v8"),  G("v9"),  G("v10"), G("v11"), G("v12"),
                                    G("v13"), G("v14"), G("v15"), G("v16"), G("v17"), G("v18"),
                                    G("v19"), G("v20"), G("v21"), G("v22")};
static const data_source debug_ds[] = {
    G("debug0"),  G("debug1"),  G("debug2"),  G("debug3"),  G("debug4"),
    G("debug5"),  G("debug6"),  G("debug7"),  G("debug8"),  G("debug9"),
    G("debug10"), G("debug11"), G("debug12"), G("debug13"), G("debug14"),
    G("debug15"), G("debug16"), G("debug17"), G("debug18"), G("debug19")};
static const data_source proc_ds[] = {G("count"),   C("uticks"),  C("sticks"), C("iticks"),
                                      C("cpu_secs"), G("cpu_pct"), G("size"),   G("rss")};
static const data_source mbuf_ds[] = {G("v1"),  G("v2"),  G("v3"),  G("v4"),  G("v5"),
                                      G("v6"),  G("v7"),  G("v8"),  G("v9"),  G("v10"),
                                      G("v11"), G("v12"), G("v13"), G("v14"), G("v15")};
static const data_source value_ds[] = {G("value")};
static const data_source io_ds[] = {C("rtransfers"), C("wtransfers"), C("seeks"), C("rbytes"),
                                    C("wbytes")};
static const data_source pfq_ds[] = {C("sent_bytes"), C("sent_packets"), C("drop_bytes"),
                                     C("drop_packets")};
static const data_source df_ds[] = {G("blocks"), G("free"),       G("avail"),       G("files"),
                                    G("ffree"),  C("syncwrites"), C("asyncwrites")};
static const data_source cpuiow_ds[] = {G("user"), G("nice"), G("system"),
                                        G("interrupt"), G("idle"), G("iowait")};
static const data_source smart_ds[] = {
    G("read_err_rate"), G("realloc_sectors"), G("spin_retry"),     G("airflow_temp"),
    G("temperature"),   G("realloc_events"),  G("pending_sectors"), G("offline_uncorr"),
    G("soft_read_err"), G("gsense_err"),      G("life_left"),      G("free_fall")};
static const data_source load_ds[] = {G("load1"), G("load5"), G("load15")};

#undef G
#undef C

// Graphs. Counters are DERIVE sources, so their expressions are already
// rates per second.
#define GRAPH(name, title, unit, flags, items) \
    {name, title, unit, flags, items, static_cast<int>(sizeof(items) / sizeof(items[0]))}
#define LINES(name, title, unit) {name, title, unit, 0, nullptr, 0}

static const graph_item cpu_share[] = {
    {"user", "user", "#3465a4", DRAW_AREA},      {"nice", "nice", "#75507b", DRAW_STACK},
    {"system", "system", "#cc0000", DRAW_STACK}, {"interrupt", "interrupt", "#f57900", DRAW_STACK},
    {"idle", "idle", "#e8e8e4", DRAW_STACK}};
static const graph_item cpuiow_share[] = {
    {"user", "user", "#3465a4", DRAW_AREA},      {"nice", "nice", "#75507b", DRAW_STACK},
    {"system", "system", "#cc0000", DRAW_STACK}, {"interrupt", "interrupt", "#f57900", DRAW_STACK},
    {"iowait", "I/O wait", "#c4a000", DRAW_STACK}, {"idle", "idle", "#e8e8e4", DRAW_STACK}};
static const graph_item mem_memory[] = {{"used", "used", "#cc0000", DRAW_AREA},
                                        {"free", "free", "#73d216", DRAW_STACK},
                                        {"active", "active", "#204a87", DRAW_LINE}};
static const graph_item mem_swap[] = {{"swap_used", "swap used", "#c17d11", DRAW_AREA},
                                      {"swap_total,swap_used,-", "swap free", "#e9b96e", DRAW_STACK}};
static const graph_item load_lines[] = {{"load1", "1 minute", "#cc0000", DRAW_LINE},
                                        {"load5", "5 minutes", "#f57900", DRAW_LINE},
                                        {"load15", "15 minutes", "#3465a4", DRAW_LINE}};
static const graph_item if_bits[] = {{"ibytes,8,*", "in", "#4e9a06", DRAW_AREA},
                                     {"obytes,8,*", "out", "#3465a4", DRAW_AREA | DRAW_BELOW}};
static const graph_item if_packets[] = {
    {"ipackets", "in", "#4e9a06", DRAW_AREA},
    {"opackets", "out", "#3465a4", DRAW_AREA | DRAW_BELOW},
    {"ierrors,oerrors,+", "errors", "#cc0000", DRAW_LINE},
    {"iqdrops", "input drops", "#f57900", DRAW_LINE},
    {"collisions", "collisions", "#75507b", DRAW_LINE}};
static const graph_item io_ops[] = {{"rtransfers", "reads", "#4e9a06", DRAW_AREA},
                                    {"wtransfers", "writes", "#3465a4", DRAW_AREA | DRAW_BELOW}};
static const graph_item io_bytes[] = {{"rbytes", "read", "#4e9a06", DRAW_AREA},
                                      {"wbytes", "written", "#3465a4", DRAW_AREA | DRAW_BELOW}};
// df counts 512-byte blocks.
static const graph_item df_space[] = {{"blocks,free,-,512,*", "used", "#cc0000", DRAW_AREA},
                                      {"free,512,*", "free", "#73d216", DRAW_STACK}};
static const graph_item df_inodes[] = {{"files,ffree,-", "in use", "#75507b", DRAW_AREA},
                                       {"files", "total", "#555753", DRAW_LINE}};
static const graph_item proc_count[] = {{"count", "processes", "#75507b", DRAW_AREA}};
static const graph_item proc_cpu[] = {{"cpu_pct", "CPU", "#cc0000", DRAW_AREA}};
static const graph_item proc_memory[] = {{"rss", "resident", "#73d216", DRAW_AREA},
                                         {"size", "virtual", "#3465a4", DRAW_LINE}};
static const graph_item pfq_bytes[] = {{"sent_bytes", "sent", "#4e9a06", DRAW_AREA},
                                       {"drop_bytes", "dropped", "#cc0000", DRAW_LINE}};

static const graph_def cpu_graphs[] = {
    GRAPH("share", "CPU time", "%", GRAPH_PERCENT, cpu_share)};
static const graph_def cpuiow_graphs[] = {
    GRAPH("share", "CPU time", "%", GRAPH_PERCENT, cpuiow_share)};
static const graph_def mem_graphs[] = {
    GRAPH("memory", "memory", "bytes", GRAPH_BINARY | GRAPH_ZERO, mem_memory),
    GRAPH("swap", "swap", "bytes", GRAPH_BINARY | GRAPH_ZERO, mem_swap)};
static const graph_def load_graphs[] = {GRAPH("load", "load average", "load", GRAPH_ZERO, load_lines)};
static const graph_def if_graphs[] = {GRAPH("bits", "traffic", "bits/s", 0, if_bits),
                                      GRAPH("packets", "packets", "packets/s", 0, if_packets)};
static const graph_def io_graphs[] = {GRAPH("ops", "operations", "operations/s", 0, io_ops),
                                      GRAPH("bytes", "transfer", "bytes/s", 0, io_bytes)};
static const graph_def df_graphs[] = {
    GRAPH("space", "space", "bytes", GRAPH_BINARY | GRAPH_ZERO, df_space),
    GRAPH("inodes", "inodes", "inodes", GRAPH_ZERO, df_inodes)};
static const graph_def proc_graphs[] = {
    GRAPH("count", "processes", "processes", GRAPH_ZERO, proc_count),
    GRAPH("cpu", "CPU", "%", GRAPH_ZERO, proc_cpu),
    GRAPH("memory", "memory", "bytes", GRAPH_BINARY | GRAPH_ZERO, proc_memory)};
static const graph_def pfq_graphs[] = {GRAPH("bytes", "queue", "bytes/s", GRAPH_ZERO, pfq_bytes)};
static const graph_def smart_graphs[] = {LINES("attributes", "SMART attributes", "normalized value")};
static const graph_def value_graphs[] = {LINES("values", "values", "")};

#undef GRAPH
#undef LINES

struct stream_description {
    const data_source *sources;
    int count;
    const graph_def *graphs;
    int graph_count;
};

#define COUNT(table) static_cast<int>(sizeof(table) / sizeof(table[0]))
#define ROW(sources, graphs) {sources, COUNT(sources), graphs, COUNT(graphs)}

// Indexed by stream type.
static const stream_description descriptions[STREAM_TYPE_COUNT] = {
    ROW(io1_ds, value_graphs),    // io1
    ROW(cpu_ds, cpu_graphs),      // cpu
    ROW(mem_ds, mem_graphs),      // mem1
    ROW(if_ds, if_graphs),        // if1
    ROW(pf_ds, value_graphs),     // pf
    ROW(debug_ds, value_graphs),  // debug
    ROW(proc_ds, proc_graphs),    // proc
    ROW(mbuf_ds, value_graphs),   // mbuf
    ROW(value_ds, value_graphs),  // sensor
    ROW(io_ds, io_graphs),        // io
    ROW(pfq_ds, pfq_graphs),      // pfq
    ROW(df_ds, df_graphs),        // df
    ROW(mem_ds, mem_graphs),      // mem
    ROW(if_ds, if_graphs),        // if
    ROW(cpuiow_ds, cpuiow_graphs), // cpuiow
    ROW(smart_ds, smart_graphs),  // smart
    ROW(load_ds, load_graphs),    // load
    ROW(value_ds, value_graphs),  // flukso
    {nullptr, 0, nullptr, 0},     // no keyword, never configured
};

#undef ROW
#undef COUNT

static const stream_description *description(int type)
{
    if (type < 0 || type >= STREAM_TYPE_COUNT || descriptions[type].sources == nullptr)
        return nullptr;
    return &descriptions[type];
}

const data_source *stream_data_sources(int type, int *count)
{
    const stream_description *d = description(type);
    if (d == nullptr)
        return nullptr;
    *count = d->count;
    return d->sources;
}

const graph_def *stream_graphs(int type, int *count)
{
    const stream_description *d = description(type);
    if (d == nullptr)
        return nullptr;
    *count = d->graph_count;
    return d->graphs;
}
