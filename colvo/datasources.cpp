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

struct ds_row {
    const data_source *sources;
    int count;
};

#define ROW(table) {table, static_cast<int>(sizeof(table) / sizeof(table[0]))}

// Indexed by stream type.
static const ds_row ds_rows[STREAM_TYPE_COUNT] = {
    ROW(io1_ds),    // io1
    ROW(cpu_ds),    // cpu
    ROW(mem_ds),    // mem1
    ROW(if_ds),     // if1
    ROW(pf_ds),     // pf
    ROW(debug_ds),  // debug
    ROW(proc_ds),   // proc
    ROW(mbuf_ds),   // mbuf
    ROW(value_ds),  // sensor
    ROW(io_ds),     // io
    ROW(pfq_ds),    // pfq
    ROW(df_ds),     // df
    ROW(mem_ds),    // mem
    ROW(if_ds),     // if
    ROW(cpuiow_ds), // cpuiow
    ROW(smart_ds),  // smart
    ROW(load_ds),   // load
    ROW(value_ds),  // flukso
    {nullptr, 0},   // no keyword, never configured
};

const data_source *stream_data_sources(int type, int *count)
{
    if (type < 0 || type >= STREAM_TYPE_COUNT || ds_rows[type].sources == nullptr)
        return nullptr;
    *count = ds_rows[type].count;
    return ds_rows[type].sources;
}
