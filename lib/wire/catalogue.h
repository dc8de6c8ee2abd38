// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The catalogue of value formats and stream types. The value formats: for
// each format character its texts, widths and range. The stream types: one
// row per stream type, keyed by its number,
// holding all that the parts of the system know of the type: its keywords
// and their token code, the format of its values, the label naming what
// its argument names, the type the monitor sends it as, its database file
// name, and what each value is (data source name, counter or gauge, base
// unit, one line of help, the name it is exported by). Everything else
// about types (the lexer's keyword rows, the readers' keyword lists, the
// probe table's shape, file names, data sources, exported names, the
// graph tool's table) is derived from these rows or checked against them
// while compiling.
//
// Plain constant data: the monitor, which has no C++ runtime, reads the
// same rows. Type numbers and formats travel in every packet and never
// change; a new type takes the next number, and its keyword a token code
// of its own.
#pragma once

#include <cstdint>

// What a value's wire integer stands for: a count as it is, or a number the
// monitor measured with fractions, sent in fixed point.
enum value_kind {
    VALUE_INTEGER = 0,    // unsigned, byte_width bytes
    VALUE_HUNDREDTHS = 1, // two bytes, unsigned
    VALUE_MILLIONTHS = 2, // eight bytes, signed
};

struct value_format {
    char id;
    int kind;
    const char *field_format;  // ":"-separated, for database updates and FIFO lines
    const char *pretty_format; // blank-separated, fixed width
    int text_width;            // room for one rendered value, separator and NUL included
    int byte_width;            // bytes on the wire
    uint64_t nominal_max;
};

enum stream_type {
    STREAM_IO1 = 0,
    STREAM_CPU = 1,
    STREAM_MEM1 = 2,
    STREAM_IF1 = 3,
    STREAM_PF = 4,
    STREAM_DEBUG = 5,
    STREAM_PROC = 6,
    STREAM_MBUF = 7,
    STREAM_SENSOR = 8,
    STREAM_IO = 9,
    STREAM_PFQ = 10,
    STREAM_DF = 11,
    STREAM_MEM = 12,
    STREAM_IF = 13,
    STREAM_CPUIOW = 14,
    STREAM_SMART = 15,
    STREAM_LOAD = 16,
    STREAM_FLUKSO = 17,
    STREAM_ALLFORMATS = 18,
    STREAM_ZFS = 19,
    STREAM_TYPE_COUNT = 20,
    // Types 0 to 18 are known to every collector. A collector stops
    // reading a packet at a type it does not know, so the records of later
    // types travel after all of those.
    STREAM_KNOWN_EVERYWHERE = 19,
};

// The lexer's codes for the stream keywords; its other codes are lexer.h's.
enum stream_token {
    TOK_CPU = 5,
    TOK_CPUIOW = 6,
    TOK_DEBUG = 8,
    TOK_DF = 9,
    TOK_FLUKSO = 12,
    TOK_IF = 14,
    TOK_IF1 = 15,
    TOK_IO = 17,
    TOK_IO1 = 18,
    TOK_LOAD = 19,
    TOK_MBUF = 20,
    TOK_MEM = 21,
    TOK_MEM1 = 22,
    TOK_PF = 26,
    TOK_PFQ = 27,
    TOK_PROC = 29,
    TOK_SENSOR = 32,
    TOK_SMART = 33,
    TOK_ZFS = 39,
};

// A running total (stored as a rate) or a level.
enum ds_kind { DS_GAUGE = 0, DS_COUNTER = 1 };

// What a value is counted in once multiplied by its scale: a base unit,
// whose name ends the metric's exported name.
enum value_unit {
    UNIT_NONE = 0,
    UNIT_BYTES = 1,
    UNIT_SECONDS = 2,
    UNIT_RATIO = 3,
    UNIT_CELSIUS = 4,
    UNIT_COUNT = 5,
};

// Each unit's name, as exported names end in it; row u is unit u.
inline constexpr const char *UNIT_NAMES[] = {nullptr, "bytes", "seconds", "ratio", "celsius"};
static_assert(sizeof(UNIT_NAMES) / sizeof(UNIT_NAMES[0]) == UNIT_COUNT, "a name per unit");

struct data_source {
    const char *name; // the database's data source name
    ds_kind kind;
    value_unit unit;
    double scale;     // the value as sent, times this, is in unit
    const char *help; // one line: what the value is
    // The exported metric's name after "colvo_<type>_", before its unit
    // and a counter's "_total"; null: the data source's name.
    const char *metric;

    constexpr data_source exported(const char *stem) const
    {
        return {name, kind, unit, scale, help, stem};
    }
};

struct stream_row {
    int type;
    const char *keyword; // the type's name; null for a type no configuration names
    const char *synonym; // a second keyword for the same type, or null
    int token;           // the keywords' code; 0 without keyword
    int listed;          // place in the readers' "expected" keyword lists
    const char *format;  // one value-format character per value
    int sent_as;         // the type the monitor's probe packs a stream of it as
    // The label naming what the argument names (cpu(0): "cpu", if(em0):
    // "interface"); null for a type without argument.
    const char *argument;
    const char *file_prefix; // database file "/<prefix><argument>.rrd"; null without keyword
    const data_source *sources; // one per value, in value order
    int source_count;
};

namespace catalogue {

// The one place a format character is known: packing, unpacking and
// rendering take its width and kind from here. An integer's texts print an
// unsigned long long, a fixed-point value's a double. Looked up in this
// order; the zero character ends the table.
inline constexpr value_format VALUE_FORMATS[] = {
    {'L', VALUE_INTEGER, ":%llu", " %20llu", 22, 8, 18446744073709551615ULL},
    {'D', VALUE_MILLIONTHS, ":%7.6f", " %7.6f", 23, 8, 18446744073709551615ULL},
    {'l', VALUE_INTEGER, ":%llu", " %10llu", 12, 4, 4294967295ULL},
    {'s', VALUE_INTEGER, ":%llu", " %5llu", 7, 2, 65535},
    {'c', VALUE_HUNDREDTHS, ":%3.2f", " %3.2f", 8, 2, 100},
    {'b', VALUE_INTEGER, ":%llu", " %3llu", 5, 1, 255},
    {'\0', 0, nullptr, nullptr, 0, 0, 0},
};

// The place of a format character's row; -1 for another character.
// Places, not pointers: with the sanitizers a pointer compared is no
// constant to the compiler.
constexpr int format_index(char id)
{
    for (int i = 0; VALUE_FORMATS[i].id != '\0'; i++)
        if (VALUE_FORMATS[i].id == id)
            return i;
    return -1;
}

// The row of a format character; null for another character.
constexpr const value_format *format_of(char id)
{
    return format_index(id) < 0 ? nullptr : &VALUE_FORMATS[format_index(id)];
}

constexpr bool formats_are_sound()
{
    for (const value_format *v = VALUE_FORMATS; v->id != '\0'; v++) {
        int w = v->byte_width;
        if (v->kind == VALUE_INTEGER ? !(w == 1 || w == 2 || w == 4 || w == 8)
                                     : w != (v->kind == VALUE_HUNDREDTHS ? 2 : 8))
            return false;
        if (static_cast<unsigned char>(v->id) >= 128)
            return false;
    }
    return true;
}
static_assert(formats_are_sound(), "integers 1, 2, 4 or 8 bytes wide, hundredths 2 and "
                                   "millionths 8, each named by an ASCII character");

constexpr data_source gauge(const char *name, const char *help, value_unit unit = UNIT_NONE,
                            double scale = 1)
{
    return {name, DS_GAUGE, unit, scale, help, nullptr};
}

constexpr data_source counter(const char *name, const char *help, value_unit unit = UNIT_NONE,
                              double scale = 1)
{
    return {name, DS_COUNTER, unit, scale, help, nullptr};
}

template <typename T, int N>
constexpr int count(const T (&)[N])
{
    return N;
}

// The CPU probe sends percentages.
constexpr double PERCENT = 0.01;
// The df probe counts space in 512-byte units.
constexpr double SECTOR = 512;

inline constexpr data_source IO1_SOURCES[] = {
    gauge("v1", "first value of the older disk layout (not sent by the monitor)"),
    gauge("v2", "second value of the older disk layout (not sent by the monitor)"),
    gauge("v3", "third value of the older disk layout (not sent by the monitor)"),
};
inline constexpr data_source CPU_SOURCES[] = {
    gauge("user", "share of the CPU's time in user mode", UNIT_RATIO, PERCENT),
    gauge("nice", "share of the CPU's time in user mode at lowered priority", UNIT_RATIO,
          PERCENT),
    gauge("system", "share of the CPU's time in the kernel", UNIT_RATIO, PERCENT),
    gauge("interrupt", "share of the CPU's time serving interrupts", UNIT_RATIO, PERCENT),
    gauge("idle", "share of the CPU's time idle", UNIT_RATIO, PERCENT),
};
inline constexpr data_source MEM_SOURCES[] = {
    gauge("active", "real memory in active use", UNIT_BYTES),
    gauge("used", "real memory not free", UNIT_BYTES),
    gauge("free", "free real memory", UNIT_BYTES),
    gauge("swap_used", "swap space in use", UNIT_BYTES),
    gauge("swap_total", "swap space configured", UNIT_BYTES).exported("swap_size"),
};
inline constexpr data_source IF_SOURCES[] = {
    counter("ipackets", "packets received").exported("receive_packets"),
    counter("opackets", "packets sent").exported("transmit_packets"),
    counter("ibytes", "bytes received", UNIT_BYTES).exported("receive"),
    counter("obytes", "bytes sent", UNIT_BYTES).exported("transmit"),
    counter("imcasts", "multicast packets received").exported("receive_multicast_packets"),
    counter("omcasts", "multicast packets sent").exported("transmit_multicast_packets"),
    counter("ierrors", "input errors").exported("receive_errors"),
    counter("oerrors", "output errors").exported("transmit_errors"),
    counter("collisions", "collisions on the interface"),
    counter("iqdrops", "packets dropped on input").exported("receive_drops"),
};
// pf's status: its two tables' sizes, the state table's lookups and
// changes, then the packets counted under each reason, in pf's reason
// order, and the overload tables' insertions.
inline constexpr data_source PF_SOURCES[] = {
    gauge("states", "entries in the state table"),
    gauge("src_nodes", "entries in the source tracking table"),
    counter("searches", "state table lookups"),
    counter("inserts", "states inserted"),
    counter("removals", "states removed"),
    counter("match", "packets that matched a rule"),
    counter("bad_offset", "packets dropped for a bad header offset"),
    counter("fragment", "packets dropped as fragments"),
    counter("short", "packets dropped as too short"),
    counter("normalize", "packets dropped by the normalizer (scrub)"),
    counter("memory", "packets dropped for want of memory"),
    counter("bad_timestamp", "packets dropped for a bad TCP timestamp"),
    counter("congestion", "packets dropped for congestion"),
    counter("ip_option", "packets dropped for IP options"),
    counter("proto_cksum", "packets dropped for a bad protocol checksum"),
    counter("state_mismatch", "packets dropped as not matching their state"),
    counter("state_insert", "packets dropped as their state could not be inserted"),
    counter("state_limit", "packets dropped at a state limit"),
    counter("src_limit", "packets dropped at a source node or connection limit"),
    counter("synproxy", "packets answered by the SYN proxy"),
    counter("map_failed", "packets dropped as no translation address was found"),
    counter("overload", "addresses put into an overload table by a connection limit"),
};
#define DEBUG_VALUE(n) gauge("debug" #n, "kernel debug variable " #n " ({CTL_DEBUG, " #n "})")
inline constexpr data_source DEBUG_SOURCES[] = {
    DEBUG_VALUE(0),  DEBUG_VALUE(1),  DEBUG_VALUE(2),  DEBUG_VALUE(3),  DEBUG_VALUE(4),
    DEBUG_VALUE(5),  DEBUG_VALUE(6),  DEBUG_VALUE(7),  DEBUG_VALUE(8),  DEBUG_VALUE(9),
    DEBUG_VALUE(10), DEBUG_VALUE(11), DEBUG_VALUE(12), DEBUG_VALUE(13), DEBUG_VALUE(14),
    DEBUG_VALUE(15), DEBUG_VALUE(16), DEBUG_VALUE(17), DEBUG_VALUE(18), DEBUG_VALUE(19),
};
#undef DEBUG_VALUE
inline constexpr data_source PROC_SOURCES[] = {
    gauge("count", "processes whose command name begins with the argument").exported("processes"),
    counter("uticks", "statistics clock ticks of those processes in user mode").exported("user_ticks"),
    counter("sticks", "statistics clock ticks of those processes in the kernel").exported("system_ticks"),
    counter("iticks", "statistics clock ticks of those processes serving interrupts")
        .exported("interrupt_ticks"),
    counter("cpu_secs", "CPU time of those processes", UNIT_SECONDS).exported("cpu"),
    gauge("cpu_pct", "those processes' present share of a CPU", UNIT_RATIO, PERCENT).exported("cpu"),
    gauge("size", "virtual size of those processes", UNIT_BYTES).exported("virtual"),
    gauge("rss", "resident size of those processes", UNIT_BYTES).exported("resident"),
};
// Network buffers as netstat -m counts them.
inline constexpr data_source MBUF_SOURCES[] = {
    gauge("mbufs", "mbufs in use"),
    gauge("mbufs_cached", "mbufs allocated and free, in the allocator's caches"),
    gauge("mbufs_allocated", "mbufs allocated, in use or cached"),
    gauge("clusters", "mbuf clusters in use"),
    gauge("clusters_cached", "mbuf clusters allocated and free, in the allocator's caches"),
    gauge("clusters_allocated", "mbuf clusters allocated, in use or cached"),
    gauge("clusters_max", "mbuf clusters the kernel allows (kern.ipc.nmbclusters)"),
    gauge("jumbo_page", "page-size jumbo clusters in use"),
    gauge("jumbo_9k", "9 KiB jumbo clusters in use"),
    gauge("jumbo_16k", "16 KiB jumbo clusters in use"),
    counter("denied", "requests for mbufs, clusters and jumbo clusters denied"),
    counter("delayed", "requests for mbufs, clusters and jumbo clusters delayed"),
    counter("sendfile", "sendfile calls"),
    counter("sendfile_io", "sendfile requests that had to read from disk"),
    counter("sendfile_pages", "pages sendfile read from disk"),
};
inline constexpr data_source SENSOR_SOURCES[] = {
    gauge("value", "the sensor's reading: degrees Celsius for a temperature, else the integer",
          UNIT_CELSIUS),
};
inline constexpr data_source IO_SOURCES[] = {
    counter("rtransfers", "read transfers").exported("reads"),
    counter("wtransfers", "write transfers").exported("writes"),
    counter("seeks", "seeks (not counted on this platform)"),
    counter("rbytes", "bytes read", UNIT_BYTES).exported("read"),
    counter("wbytes", "bytes written", UNIT_BYTES).exported("written"),
};
inline constexpr data_source PFQ_SOURCES[] = {
    counter("sent_bytes", "bytes the queue sent", UNIT_BYTES),
    counter("sent_packets", "packets the queue sent"),
    counter("drop_bytes", "bytes the queue dropped", UNIT_BYTES).exported("dropped"),
    counter("drop_packets", "packets the queue dropped").exported("dropped_packets"),
};
inline constexpr data_source DF_SOURCES[] = {
    gauge("blocks", "size of the file system", UNIT_BYTES, SECTOR).exported("size"),
    gauge("free", "free space", UNIT_BYTES, SECTOR),
    gauge("avail", "free space available to unprivileged users", UNIT_BYTES, SECTOR),
    gauge("files", "file nodes"),
    gauge("ffree", "free file nodes").exported("files_free"),
    counter("syncwrites", "synchronous writes since mount").exported("sync_writes"),
    counter("asyncwrites", "asynchronous writes since mount").exported("async_writes"),
};
inline constexpr data_source CPUIOW_SOURCES[] = {
    gauge("user", "share of the CPU's time in user mode", UNIT_RATIO, PERCENT),
    gauge("nice", "share of the CPU's time in user mode at lowered priority", UNIT_RATIO,
          PERCENT),
    gauge("system", "share of the CPU's time in the kernel", UNIT_RATIO, PERCENT),
    gauge("interrupt", "share of the CPU's time serving interrupts", UNIT_RATIO, PERCENT),
    gauge("idle", "share of the CPU's time idle", UNIT_RATIO, PERCENT),
    gauge("iowait", "share of the CPU's time waiting for I/O", UNIT_RATIO, PERCENT),
};
inline constexpr data_source SMART_SOURCES[] = {
    gauge("read_err_rate", "normalized SMART attribute 1, raw read error rate"),
    gauge("realloc_sectors", "normalized SMART attribute 5, reallocated sectors"),
    gauge("spin_retry", "normalized SMART attribute 10, spin-up retries"),
    gauge("airflow_temp", "normalized SMART attribute 190, airflow temperature"),
    gauge("temperature", "normalized SMART attribute 194, temperature"),
    gauge("realloc_events", "normalized SMART attribute 196, reallocation events"),
    gauge("pending_sectors", "normalized SMART attribute 197, sectors pending reallocation"),
    gauge("offline_uncorr", "normalized SMART attribute 198, uncorrectable sectors"),
    gauge("soft_read_err", "normalized SMART attribute 201, soft read errors"),
    gauge("gsense_err", "normalized SMART attribute 221, shocks sensed"),
    gauge("life_left", "normalized SMART attribute 231, life left"),
    gauge("free_fall", "normalized SMART attribute 254, free fall events"),
};
inline constexpr data_source LOAD_SOURCES[] = {
    gauge("load1", "load average over 1 minute"),
    gauge("load5", "load average over 5 minutes"),
    gauge("load15", "load average over 15 minutes"),
};
// ZFS's adaptive replacement cache (ARC) and its second level (L2ARC).
inline constexpr data_source ZFS_SOURCES[] = {
    gauge("size", "ARC size", UNIT_BYTES),
    gauge("target", "size the ARC aims at", UNIT_BYTES),
    gauge("min", "least size the ARC keeps", UNIT_BYTES),
    gauge("max", "most size the ARC may have", UNIT_BYTES),
    gauge("mfu_size", "ARC data and metadata used more than once lately", UNIT_BYTES),
    gauge("mru_size", "ARC data and metadata used once lately", UNIT_BYTES),
    gauge("metadata_size", "ARC metadata", UNIT_BYTES),
    counter("hits", "ARC hits"),
    counter("misses", "ARC misses"),
    counter("demand_hits", "ARC hits for data asked for"),
    counter("demand_misses", "ARC misses for data asked for"),
    counter("prefetch_hits", "ARC hits for data read ahead"),
    counter("prefetch_misses", "ARC misses for data read ahead"),
    gauge("l2_size", "L2ARC size", UNIT_BYTES),
    counter("l2_hits", "L2ARC hits"),
    counter("l2_misses", "L2ARC misses"),
    counter("evictions", "buffers evicted from the ARC"),
    gauge("compressed_size", "ARC data as stored, compressed", UNIT_BYTES),
    gauge("uncompressed_size", "ARC data uncompressed", UNIT_BYTES),
};
inline constexpr data_source FLUKSO_SOURCES[] = {
    gauge("value", "the meter's reading (no probe on this platform)"),
};

#define DESCRIBED(sources) sources, count(sources)

// Row i describes type i.
inline constexpr stream_row ROWS[] = {
    {STREAM_IO1, "io1", nullptr, TOK_IO1, 6, "LLL", STREAM_IO, "device", "io1_",
     DESCRIBED(IO1_SOURCES)},
    {STREAM_CPU, "cpu", nullptr, TOK_CPU, 0, "ccccc", STREAM_CPU, "cpu", "cpu",
     DESCRIBED(CPU_SOURCES)},
    {STREAM_MEM1, "mem1", nullptr, TOK_MEM1, 8, "lllll", STREAM_MEM, nullptr, "mem",
     DESCRIBED(MEM_SOURCES)},
    {STREAM_IF1, "if1", nullptr, TOK_IF1, 4, "llllllllll", STREAM_IF, "interface", "if_",
     DESCRIBED(IF_SOURCES)},
    {STREAM_PF, "pf", nullptr, TOK_PF, 9, "LLLLLLLLLLLLLLLLLLLLLL", STREAM_PF, nullptr, "pf",
     DESCRIBED(PF_SOURCES)},
    {STREAM_DEBUG, "debug", nullptr, TOK_DEBUG, 12, "llllllllllllllllllll", STREAM_DEBUG, nullptr,
     "debug", DESCRIBED(DEBUG_SOURCES)},
    {STREAM_PROC, "proc", nullptr, TOK_PROC, 13, "lLLLlcll", STREAM_PROC, "process", "proc_",
     DESCRIBED(PROC_SOURCES)},
    {STREAM_MBUF, "mbuf", nullptr, TOK_MBUF, 11, "lllllllllllllll", STREAM_MBUF, nullptr, "mbuf",
     DESCRIBED(MBUF_SOURCES)},
    {STREAM_SENSOR, "sensor", nullptr, TOK_SENSOR, 14, "D", STREAM_SENSOR, "sensor", "sensor_",
     DESCRIBED(SENSOR_SOURCES)},
    {STREAM_IO, "io", "io2", TOK_IO, 5, "LLLLL", STREAM_IO, "device", "io_",
     DESCRIBED(IO_SOURCES)},
    {STREAM_PFQ, "pfq", nullptr, TOK_PFQ, 10, "LLLL", STREAM_PFQ, "queue", "pfq_",
     DESCRIBED(PFQ_SOURCES)},
    {STREAM_DF, "df", nullptr, TOK_DF, 2, "LLLLLLL", STREAM_DF, "mountpoint", "df_",
     DESCRIBED(DF_SOURCES)},
    {STREAM_MEM, "mem", "mem2", TOK_MEM, 7, "LLLLL", STREAM_MEM, nullptr, "mem",
     DESCRIBED(MEM_SOURCES)},
    {STREAM_IF, "if", "if2", TOK_IF, 3, "LLLLLLLLLL", STREAM_IF, "interface", "if_",
     DESCRIBED(IF_SOURCES)},
    {STREAM_CPUIOW, "cpuiow", nullptr, TOK_CPUIOW, 1, "cccccc", STREAM_CPUIOW, "cpu", "cpuiow",
     DESCRIBED(CPUIOW_SOURCES)},
    {STREAM_SMART, "smart", nullptr, TOK_SMART, 15, "bbbbbbbbbbbb", STREAM_SMART, "device", "smart_",
     DESCRIBED(SMART_SOURCES)},
    {STREAM_LOAD, "load", nullptr, TOK_LOAD, 16, "ccc", STREAM_LOAD, nullptr, "load",
     DESCRIBED(LOAD_SOURCES)},
    {STREAM_FLUKSO, "flukso", nullptr, TOK_FLUKSO, 17, "D", STREAM_FLUKSO, "sensor", "flukso_",
     DESCRIBED(FLUKSO_SOURCES)},
    // Every format once, for tests of the codec; no configuration names it.
    {STREAM_ALLFORMATS, nullptr, nullptr, 0, -1, "LLLLDDDDllllssssccccbbbb", STREAM_ALLFORMATS,
     nullptr, nullptr, nullptr, 0},
    {STREAM_ZFS, "zfs", nullptr, TOK_ZFS, 18, "LLLLLLLLLLLLLLLLLLL", STREAM_ZFS, nullptr, "zfs",
     DESCRIBED(ZFS_SOURCES)},
};

#undef DESCRIBED

constexpr int ROW_COUNT = static_cast<int>(sizeof(ROWS) / sizeof(ROWS[0]));

constexpr int length(const char *text)
{
    int n = 0;
    while (text[n])
        n++;
    return n;
}

constexpr bool same(const char *a, const char *b)
{
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

constexpr bool known_format(char c)
{
    return format_index(c) >= 0;
}

constexpr bool in_range(int type)
{
    return type >= 0 && type < ROW_COUNT;
}

// A row's keywords: 0 its name, 1 its synonym; null past them.
constexpr const char *keyword_of(const stream_row &r, int k)
{
    return k == 0 ? r.keyword : k == 1 && r.keyword ? r.synonym : nullptr;
}

constexpr bool rows_are_sound()
{
    for (int i = 0; i < ROW_COUNT; i++) {
        const stream_row &r = ROWS[i];
        if (r.type != i)
            return false;
        for (const char *f = r.format; *f; f++)
            if (!known_format(*f))
                return false;
        if (r.keyword == nullptr) {
            if (r.synonym || r.token || r.file_prefix || r.sources || r.listed != -1)
                return false;
            continue;
        }
        if (r.token <= 0 || r.file_prefix == nullptr || r.source_count != length(r.format) ||
            !in_range(r.sent_as) || ROWS[r.sent_as].keyword == nullptr)
            return false;
        // A database needs its data sources' names apart; an exporter, help.
        for (int a = 0; a < r.source_count; a++) {
            const data_source &d = r.sources[a];
            if (length(d.name) == 0 || length(d.help) == 0 || !(d.scale > 0))
                return false;
            for (int b = a + 1; b < r.source_count; b++)
                if (same(d.name, r.sources[b].name))
                    return false;
        }
        for (int j = 0; j < ROW_COUNT; j++) {
            const stream_row &o = ROWS[j];
            if (j == i || o.keyword == nullptr)
                continue;
            if (o.token == r.token || o.listed == r.listed)
                return false;
            for (int a = 0; keyword_of(r, a); a++)
                for (int b = 0; keyword_of(o, b); b++)
                    if (same(keyword_of(r, a), keyword_of(o, b)))
                        return false;
        }
    }
    return true;
}

constexpr int named_count()
{
    int n = 0;
    for (const stream_row &r : ROWS)
        n += r.keyword != nullptr;
    return n;
}

constexpr bool listed_in_order()
{
    // The places of the named types are 0 to their count less one.
    for (const stream_row &r : ROWS)
        if (r.keyword && (r.listed < 0 || r.listed >= named_count()))
            return false;
    return true;
}

// The exported name of a data source, as Prometheus' conventions have it:
// "colvo_<type>_<stem>", then "_<unit>" unless the stem ends so already.
// That is the metric family's name; a counter's samples add "_total".
enum { METRIC_NAME_ROOM = 96 };

struct metric_name {
    char text[METRIC_NAME_ROOM];
    int length; // -1: it did not fit
};

constexpr void append(metric_name &m, const char *text)
{
    for (; m.length >= 0 && *text; text++) {
        if (m.length + 1 >= METRIC_NAME_ROOM) {
            m.length = -1;
            return;
        }
        m.text[m.length++] = *text;
        m.text[m.length] = '\0';
    }
}

// The name ends in "_<word>".
constexpr bool ends_in(const metric_name &m, const char *word)
{
    int n = length(word);
    if (m.length < n + 1 || m.text[m.length - n - 1] != '_')
        return false;
    for (int i = 0; i < n; i++)
        if (m.text[m.length - n + i] != word[i])
            return false;
    return true;
}

constexpr metric_name metric_family(const stream_row &r, int d)
{
    metric_name m{};
    const data_source &s = r.sources[d];
    append(m, "colvo_");
    append(m, r.keyword);
    append(m, "_");
    append(m, s.metric ? s.metric : s.name);
    if (UNIT_NAMES[s.unit] && !ends_in(m, UNIT_NAMES[s.unit])) {
        append(m, "_");
        append(m, UNIT_NAMES[s.unit]);
    }
    return m;
}

// Lower-case letters, digits and '_', not first a digit.
constexpr bool plain_name(const char *text, int length_of)
{
    for (int i = 0; i < length_of; i++) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || c == '_' || (i > 0 && c >= '0' && c <= '9')))
            return false;
    }
    return length_of > 0;
}

// Suffixes that mean a counter, a summary or a histogram, or an info
// metric, to Prometheus and OpenMetrics: no family name ends in one.
inline constexpr const char *RESERVED_SUFFIXES[] = {"total", "count", "sum", "bucket",
                                                      "created", "info", "gcount", "gsum"};

constexpr bool metric_names_are_sound()
{
    for (const stream_row &r : ROWS) {
        if (r.keyword == nullptr)
            continue;
        // The argument's label is a plain name of its own beside "host".
        if (r.argument && (!plain_name(r.argument, length(r.argument)) ||
                           same(r.argument, "host") || r.argument[0] == '_'))
            return false;
        for (int a = 0; a < r.source_count; a++) {
            metric_name m = metric_family(r, a);
            if (m.length < 0 || !plain_name(m.text, m.length))
                return false;
            for (const char *suffix : RESERVED_SUFFIXES)
                if (ends_in(m, suffix))
                    return false;
            // A name never says another unit than its value's.
            for (int u = 1; u < UNIT_COUNT; u++)
                if (u != r.sources[a].unit && ends_in(m, UNIT_NAMES[u]))
                    return false;
            for (int b = a + 1; b < r.source_count; b++) {
                metric_name o = metric_family(r, b);
                if (o.length == m.length && same(o.text, m.text))
                    return false;
            }
        }
    }
    return true;
}

} // namespace catalogue

static_assert(catalogue::ROW_COUNT == STREAM_TYPE_COUNT, "one catalogue row per stream type");
static_assert(catalogue::rows_are_sound(),
              "each row i describes type i, in known formats, with a named and described "
              "data source per value, and its keywords, token and listed place are its own");
static_assert(catalogue::listed_in_order(), "the named types share the listed places");
static_assert(catalogue::metric_names_are_sound(),
              "every exported name is lower case, says its unit and no other, ends in no "
              "counter's, summary's or histogram's suffix, and is its own in its type; each "
              "argument's label is a plain name other than host");

// The row of a type, for compile-time derivations; null out of range.
constexpr const stream_row *stream_row_of(int type)
{
    return catalogue::in_range(type) ? &catalogue::ROWS[type] : nullptr;
}

// 1 when a configuration can name the type (it has a keyword).
constexpr int stream_type_named(int type)
{
    return catalogue::in_range(type) && catalogue::ROWS[type].keyword != nullptr;
}

// The data sources of a type, one per value of its format, in value
// order; count set to their number. Null for a type without keyword.
const data_source *stream_data_sources(int type, int *count);
