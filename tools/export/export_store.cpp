// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export's store and its exposition text. Hosts are found by a hash
// of their name; a host's few streams are walked. The text groups every
// sample of a metric under its one HELP and TYPE, as the format asks.
#include "export_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue.h"
#include "types.h"
#include "xmalloc.h"

enum { BUCKETS_FIRST = 64 };

// The exporter's own metrics and colvo's have names no stream type takes.
constexpr bool no_type_named(const char *word)
{
    for (const stream_row &r : catalogue::ROWS)
        for (int k = 0; catalogue::keyword_of(r, k); k++)
            if (catalogue::same(catalogue::keyword_of(r, k), word))
                return false;
    return true;
}
static_assert(no_type_named("export") && no_type_named("daemon"),
              "colvo_export_ and colvo_daemon_ are no stream type's metrics");

static uint32_t name_hash(const char *name)
{
    uint32_t h = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        h = (h ^ *p) * 16777619u;
    return h;
}

void export_store_init(export_store *s)
{
    memset(s, 0, sizeof(*s));
    s->bucket_count = BUCKETS_FIRST;
    s->buckets = static_cast<export_host **>(
        xzalloc(sizeof(export_host *) * static_cast<size_t>(s->bucket_count)));
}

static void free_host(export_host *h)
{
    for (export_stream *st = h->streams, *next; st; st = next) {
        next = st->next;
        xfree(st);
    }
    xfree(h);
}

void export_store_free(export_store *s)
{
    for (int i = 0; i < s->bucket_count; i++)
        for (export_host *h = s->buckets[i], *next; h; h = next) {
            next = h->next;
            free_host(h);
        }
    xfree(s->buckets);
    s->buckets = nullptr;
}

static void grow(export_store *s)
{
    int count = s->bucket_count * 2;
    export_host **buckets =
        static_cast<export_host **>(xzalloc(sizeof(export_host *) * static_cast<size_t>(count)));
    for (int i = 0; i < s->bucket_count; i++)
        for (export_host *h = s->buckets[i], *next; h; h = next) {
            next = h->next;
            export_host **b = &buckets[h->hash & static_cast<uint32_t>(count - 1)];
            h->next = *b;
            *b = h;
        }
    xfree(s->buckets);
    s->buckets = buckets;
    s->bucket_count = count;
}

static export_host *find_host(export_store *s, const char *name)
{
    uint32_t hash = name_hash(name);
    export_host **b = &s->buckets[hash & static_cast<uint32_t>(s->bucket_count - 1)];
    for (export_host *h = *b; h; h = h->next)
        if (h->hash == hash && strcmp(h->name, name) == 0)
            return h;
    if (s->host_count >= EXPORT_HOSTS_MAX)
        return nullptr;
    if (s->host_count >= s->bucket_count) {
        grow(s);
        b = &s->buckets[hash & static_cast<uint32_t>(s->bucket_count - 1)];
    }
    export_host *h = static_cast<export_host *>(xzalloc(sizeof(export_host)));
    snprintf(h->name, sizeof(h->name), "%s", name);
    h->hash = hash;
    h->next = *b;
    *b = h;
    s->host_count++;
    return h;
}

static export_stream *find_stream(export_host *h, const top_entry *e)
{
    export_stream **last = &h->streams;
    for (export_stream *st = h->streams; st; st = st->next) {
        if (st->type == e->type && strcmp(st->argument, e->argument) == 0)
            return st;
        last = &st->next;
    }
    if (h->stream_count >= EXPORT_STREAMS_MAX)
        return nullptr;
    // Kept in the order first seen.
    export_stream *st = static_cast<export_stream *>(xzalloc(sizeof(export_stream)));
    st->type = e->type;
    memcpy(st->argument, e->argument, sizeof(st->argument));
    *last = st;
    h->stream_count++;
    return st;
}

void export_store_line(export_store *s, const char *line, size_t length, double now)
{
    if (length > 0 && line[0] == FIGURES_MARK) {
        if (figures_read(line, length, s->figures)) {
            s->have_figures = 1;
            s->figures_lines++;
        } else {
            s->unreadable++;
        }
        return;
    }
    topline_cursor c;
    char name[TOP_NAME_TEXT];
    export_host *h = nullptr;
    if (!topline_host(&c, line, length, name) || (h = find_host(s, name)) == nullptr) {
        s->unreadable++;
        return;
    }
    s->lines++;
    top_entry e;
    int first = 1, result;
    while ((result = topline_next(&c, &e)) != TOPLINE_END) {
        export_stream *st = result == TOPLINE_ENTRY ? find_stream(h, &e) : nullptr;
        if (st == nullptr) {
            s->unreadable++;
            continue;
        }
        if (first) {
            if (h->stamp != 0 && e.timestamp > h->stamp)
                h->interval = e.timestamp - h->stamp;
            h->stamp = e.timestamp;
            first = 0;
        }
        st->count = e.count;
        memcpy(st->values, e.values, sizeof(double) * static_cast<size_t>(e.count));
        st->seen = now;
    }
    h->seen = now;
}

static double silent_after(const export_host *h)
{
    return EXPORT_SILENT_INTERVALS *
           (h->interval ? static_cast<double>(h->interval) : double{EXPORT_DEFAULT_INTERVAL});
}

void export_store_prune(export_store *s, double now)
{
    for (int i = 0; i < s->bucket_count; i++) {
        for (export_host **hp = &s->buckets[i]; *hp;) {
            export_host *h = *hp;
            double limit = silent_after(h);
            if (now - h->seen > limit) {
                *hp = h->next;
                free_host(h);
                s->host_count--;
                continue;
            }
            for (export_stream **sp = &h->streams; *sp;) {
                export_stream *st = *sp;
                if (now - st->seen > limit) {
                    *sp = st->next;
                    xfree(st);
                    h->stream_count--;
                } else {
                    sp = &st->next;
                }
            }
            hp = &h->next;
        }
    }
}

static void append(export_text *t, const char *text, size_t length)
{
    if (t->length + length + 1 > t->size) {
        size_t size = t->size ? t->size : 65536;
        while (size < t->length + length + 1)
            size *= 2;
        t->data = static_cast<char *>(xrealloc(t->data, size));
        t->size = size;
    }
    memcpy(t->data + t->length, text, length);
    t->length += length;
    t->data[t->length] = '\0';
}

static void add(export_text *t, const char *text)
{
    append(t, text, strlen(text));
}

void export_text_free(export_text *t)
{
    if (t->data)
        xfree(t->data);
    *t = {};
}

// Bytes that do not form UTF-8 (a label value must be) become the text
// \xHH; a backslash, a double quote and a newline are escaped as the
// format says.
static size_t utf8_length(const unsigned char *p, const unsigned char *end)
{
    int n = *p < 0x80 ? 1 : (*p & 0xe0) == 0xc0 ? 2 : (*p & 0xf0) == 0xe0 ? 3 : (*p & 0xf8) == 0xf0 ? 4 : 0;
    if (n == 0 || end - p < n || (n == 2 && *p < 0xc2))
        return 0;
    for (int i = 1; i < n; i++)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return static_cast<size_t>(n);
}

static void add_label_value(export_text *t, const char *value)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(value);
    const unsigned char *end = p + strlen(value);
    while (p < end) {
        size_t n = utf8_length(p, end);
        if (n == 0) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\\\x%02x", *p);
            add(t, hex);
            p++;
        } else if (*p == '\\' || *p == '"') {
            char escaped[3] = {'\\', static_cast<char>(*p), '\0'};
            add(t, escaped);
            p++;
        } else if (*p == '\n') {
            add(t, "\\n");
            p++;
        } else {
            append(t, reinterpret_cast<const char *>(p), n);
            p += n;
        }
    }
}

// The shortest text that reads back as the same number.
static void add_number(export_text *t, double value)
{
    char text[40];
    snprintf(text, sizeof(text), "%.15g", value);
    if (strtod(text, nullptr) != value)
        snprintf(text, sizeof(text), "%.17g", value);
    add(t, text);
}

static void add_header(export_text *t, const char *name, const char *help, int counter)
{
    add(t, "# HELP ");
    add(t, name);
    add(t, " ");
    // Help text escapes a backslash and a newline.
    for (const char *p = help; *p; p++) {
        if (*p == '\\')
            add(t, "\\\\");
        else if (*p == '\n')
            add(t, "\\n");
        else
            append(t, p, 1);
    }
    add(t, "\n# TYPE ");
    add(t, name);
    add(t, counter ? " counter\n" : " gauge\n");
}

// A fraction (a percentage's 0.01) divides by its inverse: 29 / 100 reads
// 0.29, where 29 * 0.01 is 0.29000000000000004.
static double in_base_unit(double value, double scale)
{
    return scale < 1 ? value / (1 / scale) : value * scale;
}

static void add_sample(export_text *t, const char *name, const char *labels, double value)
{
    add(t, name);
    if (labels) {
        add(t, "{");
        add(t, labels);
        add(t, "}");
    }
    add(t, " ");
    add_number(t, value);
    add(t, "\n");
}

// The streams of each type, for one walk per data source.
struct by_type {
    const export_host **hosts;
    const export_stream **streams;
    int start[STREAM_TYPE_COUNT + 1];
};

static void sort_by_type(const export_store *s, by_type *b)
{
    int counts[STREAM_TYPE_COUNT] = {};
    int total = 0;
    for (int i = 0; i < s->bucket_count; i++)
        for (const export_host *h = s->buckets[i]; h; h = h->next)
            for (const export_stream *st = h->streams; st; st = st->next)
                if (st->type >= 0 && st->type < STREAM_TYPE_COUNT) {
                    counts[st->type]++;
                    total++;
                }
    b->start[0] = 0;
    for (int type = 0; type < STREAM_TYPE_COUNT; type++)
        b->start[type + 1] = b->start[type] + counts[type];
    size_t room = static_cast<size_t>(total > 0 ? total : 1);
    b->hosts = static_cast<const export_host **>(xmalloc(sizeof(export_host *) * room));
    b->streams = static_cast<const export_stream **>(xmalloc(sizeof(export_stream *) * room));
    int at[STREAM_TYPE_COUNT];
    memcpy(at, b->start, sizeof(at));
    for (int i = 0; i < s->bucket_count; i++)
        for (const export_host *h = s->buckets[i]; h; h = h->next)
            for (const export_stream *st = h->streams; st; st = st->next)
                if (st->type >= 0 && st->type < STREAM_TYPE_COUNT) {
                    b->hosts[at[st->type]] = h;
                    b->streams[at[st->type]++] = st;
                }
}

static void render_streams(const export_store *s, export_text *out)
{
    by_type b;
    sort_by_type(s, &b);
    export_text labels = {};
    for (int type = 0; type < STREAM_TYPE_COUNT; type++) {
        int count = 0;
        const data_source *sources = stream_data_sources(type, &count);
        if (sources == nullptr || b.start[type] == b.start[type + 1])
            continue;
        int with_argument = stream_row_of(type)->argument;
        for (int d = 0; d < count; d++) {
            char name[128];
            snprintf(name, sizeof(name), "colvo_%s_%s%s", stream_type_name(type), sources[d].name,
                     sources[d].kind == DS_COUNTER ? "_total" : "");
            add_header(out, name, sources[d].help, sources[d].kind == DS_COUNTER);
            for (int i = b.start[type]; i < b.start[type + 1]; i++) {
                const export_stream *st = b.streams[i];
                if (d >= st->count)
                    continue;
                labels.length = 0;
                add(&labels, "host=\"");
                add_label_value(&labels, b.hosts[i]->name);
                if (with_argument) {
                    add(&labels, "\",arg=\"");
                    add_label_value(&labels, st->argument);
                }
                add(&labels, "\"");
                add_sample(out, name, labels.data, in_base_unit(st->values[d], sources[d].scale));
            }
        }
    }
    export_text_free(&labels);
    xfree(b.hosts);
    xfree(b.streams);
}

static void render_figures(const export_store *s, export_text *out)
{
    for (int i = 0; i < FIGURE_COUNT; i++) {
        const figure_row &r = FIGURE_ROWS[i];
        char name[128];
        snprintf(name, sizeof(name), "colvo_daemon_%s%s", r.metric, r.gauge ? "" : "_total");
        if (i == 0 || strcmp(r.metric, FIGURE_ROWS[i - 1].metric) != 0)
            add_header(out, name, r.help, !r.gauge);
        add_sample(out, name, r.label, static_cast<double>(s->figures[r.id]));
    }
}

struct own_metric {
    const char *name;
    int counter;
    const char *help;
};

static const own_metric OWN[] = {
    {"colvo_export_lines_total", 1, "host lines colvo-export read from colvo's live socket"},
    {"colvo_export_unreadable_total", 1,
     "lines and entries from colvo's live socket that colvo-export could not read"},
    {"colvo_export_figures_lines_total", 1, "figures lines colvo-export read from colvo"},
    {"colvo_export_connected", 0, "1 while colvo-export is connected to colvo's live socket"},
    {"colvo_export_connections_total", 1, "connections colvo-export made to colvo's live socket"},
    {"colvo_export_hosts", 0, "hosts exported now"},
};

void export_store_render(export_store *s, double now, export_text *out)
{
    export_store_prune(s, now);
    render_streams(s, out);
    const double own[] = {static_cast<double>(s->lines),         static_cast<double>(s->unreadable),
                          static_cast<double>(s->figures_lines), static_cast<double>(s->connected),
                          static_cast<double>(s->connections),   static_cast<double>(s->host_count)};
    static_assert(sizeof(own) / sizeof(own[0]) == sizeof(OWN) / sizeof(OWN[0]), "a value per metric");
    for (size_t i = 0; i < sizeof(OWN) / sizeof(OWN[0]); i++) {
        add_header(out, OWN[i].name, OWN[i].help, OWN[i].counter);
        add_sample(out, OWN[i].name, nullptr, own[i]);
    }
    if (s->have_figures)
        render_figures(s, out);
}
