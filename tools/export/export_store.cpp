// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export's store and its exposition. Hosts are found by a hash of
// their name; a host's few streams are walked. The exposition groups every
// sample of a metric under its one head, as the formats ask.
#include "export_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue.h"
#include "remote_request.h"
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
static_assert(no_type_named("export") && no_type_named("daemon") && no_type_named("host"),
              "colvo_export_, colvo_daemon_ and colvo_host_ are no stream type's metrics");

static uint32_t name_hash(const char *name, size_t length)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; i++)
        h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    return h;
}

void export_store_init(export_store *s)
{
    memset(s, 0, sizeof(*s));
    s->bucket_count = BUCKETS_FIRST;
    s->buckets = static_cast<export_host **>(
        xzalloc(sizeof(export_host *) * static_cast<size_t>(s->bucket_count)));
    s->told_total = -1;
}

static void free_stream(export_stream *st)
{
    remote_release(st->series);
    xfree(st);
}

static void free_host(export_host *h)
{
    for (export_stream *st = h->streams, *next; st; st = next) {
        next = st->next;
        free_stream(st);
    }
    remote_release(h->series);
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
    export_text_free(&s->told);
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

// The host of the name (length bytes), made when new; null when the store
// is full or the name too long.
static export_host *find_host(export_store *s, const char *name, size_t length)
{
    if (length >= TOP_NAME_TEXT)
        return nullptr;
    uint32_t hash = name_hash(name, length);
    export_host **b = &s->buckets[hash & static_cast<uint32_t>(s->bucket_count - 1)];
    for (export_host *h = *b; h; h = h->next)
        if (h->hash == hash && strncmp(h->name, name, length) == 0 && h->name[length] == '\0')
            return h;
    if (s->host_count >= EXPORT_HOSTS_MAX)
        return nullptr;
    if (s->host_count >= s->bucket_count) {
        grow(s);
        b = &s->buckets[hash & static_cast<uint32_t>(s->bucket_count - 1)];
    }
    export_host *h = static_cast<export_host *>(xzalloc(sizeof(export_host)));
    memcpy(h->name, name, length);
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

static void take_told_name(void *store, const char *name, size_t length)
{
    export_store *s = static_cast<export_store *>(store);
    export_text_add(&s->told, name, length);
    export_text_add(&s->told, "", 1);
    s->told_count++;
}

// A telling of the sources is taken once whole: then the hosts named are
// the configured ones, and only they.
static void sources_line(export_store *s, const char *line, size_t length)
{
    long total, first;
    long had = s->told_count;
    size_t had_length = s->told.length;
    if (!sources_read(line, length, &total, &first, nullptr, nullptr)) {
        s->unreadable++;
        return;
    }
    if (first == 0) {
        s->told.length = 0;
        s->told_count = 0;
        s->told_total = total;
        had = 0;
        had_length = 0;
    } else if (total != s->told_total || first != s->told_count) {
        // A part was lost: wait for the next telling.
        s->told_total = -1;
        return;
    }
    sources_read(line, length, &total, &first, take_told_name, s);
    if (s->told_count > total) {
        s->told_count = had;
        s->told.length = had_length;
        s->told_total = -1;
        s->unreadable++;
        return;
    }
    if (s->told_count < total)
        return;
    for (int i = 0; i < s->bucket_count; i++)
        for (export_host *h = s->buckets[i]; h; h = h->next)
            h->configured = 0;
    for (size_t at = 0; at < s->told.length;) {
        size_t n = strlen(s->told.data + at);
        export_host *h = find_host(s, s->told.data + at, n);
        if (h)
            h->configured = 1;
        at += n + 1;
    }
    s->told_total = -1;
}

void export_store_disconnected(export_store *s)
{
    s->connected = 0;
    s->told_total = -1;
}

// A stream's new values to the receivers, in their base units, stamped
// with the line's time.
static void push(const export_host *h, export_stream *st, uint32_t stamp)
{
    if (!stream_type_named(st->type))
        return;
    const stream_row *row = stream_row_of(st->type);
    if (st->series == nullptr)
        st->series = remote_stream_series(st->type, h->name, st->argument);
    double values[TOP_VALUES];
    int count = st->count < row->source_count ? st->count : row->source_count;
    for (int d = 0; d < count; d++)
        values[d] = scaled_value(st->values[d], row->sources[d].scale);
    remote_push(st->series, static_cast<int64_t>(stamp) * 1000, values, count);
}

void export_store_push_liveness(export_store *s, double now, double wall)
{
    for (int i = 0; i < s->bucket_count; i++)
        for (export_host *h = s->buckets[i]; h; h = h->next) {
            if (h->series == nullptr)
                h->series = remote_host_series(h->name);
            const double values[] = {static_cast<double>(export_host_up(h, now)), h->seen_wall};
            // The time last seen only once there is one.
            remote_push(h->series, static_cast<int64_t>(wall * 1000), values, h->seen_wall > 0 ? 2 : 1);
        }
}

void export_store_line(export_store *s, const char *line, size_t length, double now, double wall)
{
    if (length > 0 && line[0] == FIGURES_MARK) {
        if (length >= sizeof(SOURCES_START) - 1 &&
            memcmp(line, SOURCES_START, sizeof(SOURCES_START) - 1) == 0) {
            sources_line(s, line, length);
        } else if (figures_read(line, length, s->figures)) {
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
    if (!topline_host(&c, line, length, name) || (h = find_host(s, name, strlen(name))) == nullptr) {
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
        if (s->remote)
            push(h, st, e.timestamp);
    }
    h->seen = now;
    h->seen_wall = wall;
}

static double silent_after(const export_host *h)
{
    return EXPORT_SILENT_INTERVALS *
           (h->interval ? static_cast<double>(h->interval) : double{EXPORT_DEFAULT_INTERVAL});
}

int export_host_up(const export_host *h, double now)
{
    return h->seen_wall > 0 && now - h->seen <= silent_after(h);
}

void export_store_prune(export_store *s, double now)
{
    for (int i = 0; i < s->bucket_count; i++) {
        for (export_host **hp = &s->buckets[i]; *hp;) {
            export_host *h = *hp;
            double limit = silent_after(h);
            if (!h->configured && (h->seen_wall == 0 || now - h->seen > limit)) {
                *hp = h->next;
                free_host(h);
                s->host_count--;
                continue;
            }
            for (export_stream **sp = &h->streams; *sp;) {
                export_stream *st = *sp;
                if (now - st->seen > limit) {
                    *sp = st->next;
                    free_stream(st);
                    h->stream_count--;
                } else {
                    sp = &st->next;
                }
            }
            hp = &h->next;
        }
    }
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
                if (stream_type_named(st->type)) {
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
                if (stream_type_named(st->type)) {
                    b->hosts[at[st->type]] = h;
                    b->streams[at[st->type]++] = st;
                }
}

static void render_streams(const export_store *s, exposition *out)
{
    by_type b;
    sort_by_type(s, &b);
    export_text labels = {};
    for (int type = 0; type < STREAM_TYPE_COUNT; type++) {
        const stream_row *row = stream_row_of(type);
        if (b.start[type] == b.start[type + 1])
            continue;
        for (int d = 0; d < row->source_count; d++) {
            const data_source &source = row->sources[d];
            const char *family = export_family(type, d);
            int counter = source.kind == DS_COUNTER;
            expose_family(out, family, counter, UNIT_NAMES[source.unit], source.help);
            for (int i = b.start[type]; i < b.start[type + 1]; i++) {
                const export_stream *st = b.streams[i];
                if (d >= st->count)
                    continue;
                labels.length = 0;
                expose_label(&labels, "host", b.hosts[i]->name);
                if (row->argument)
                    expose_label(&labels, row->argument, st->argument);
                expose_sample(out, family, counter, labels.data,
                              scaled_value(st->values[d], source.scale));
            }
        }
    }
    export_text_free(&labels);
    xfree(b.hosts);
    xfree(b.streams);
}

// Every host colvo is configured with, and every other one still sending.
static void render_liveness(const export_store *s, double now, exposition *out)
{
    export_text labels = {};
    expose_family(out, "colvo_host_up", 0, nullptr,
                  "1 while a host's lines come, 0 once it has been silent for three of its "
                  "intervals or sent nothing since colvo-export started");
    for (int i = 0; i < s->bucket_count; i++)
        for (const export_host *h = s->buckets[i]; h; h = h->next) {
            labels.length = 0;
            expose_label(&labels, "host", h->name);
            expose_sample(out, "colvo_host_up", 0, labels.data, export_host_up(h, now));
        }
    expose_family(out, "colvo_host_last_seen_timestamp_seconds", 0, "seconds",
                  "when colvo-export last had a line of the host, in seconds since the epoch");
    for (int i = 0; i < s->bucket_count; i++)
        for (const export_host *h = s->buckets[i]; h; h = h->next)
            if (h->seen_wall > 0) {
                labels.length = 0;
                expose_label(&labels, "host", h->name);
                expose_sample(out, "colvo_host_last_seen_timestamp_seconds", 0, labels.data,
                              h->seen_wall);
            }
    export_text_free(&labels);
}

static void render_figures(const export_store *s, exposition *out)
{
    for (int i = 0; i < FIGURE_COUNT; i++) {
        const figure_row &r = FIGURE_ROWS[i];
        char name[128];
        snprintf(name, sizeof(name), "colvo_daemon_%s", r.metric);
        if (i == 0 || strcmp(r.metric, FIGURE_ROWS[i - 1].metric) != 0)
            expose_family(out, name, !r.gauge, nullptr, r.help);
        expose_sample(out, name, !r.gauge, r.label, static_cast<double>(s->figures[r.id]));
    }
}

static const metric_row OWN[] = {
    {"colvo_export_lines", 1, "host lines colvo-export read from colvo's live socket"},
    {"colvo_export_unreadable", 1,
     "lines and entries from colvo's live socket that colvo-export could not read"},
    {"colvo_export_figures_lines", 1, "figures lines colvo-export read from colvo"},
    {"colvo_export_connected", 0, "1 while colvo-export is connected to colvo's live socket"},
    {"colvo_export_connections", 1, "connections colvo-export made to colvo's live socket"},
    {"colvo_export_hosts", 0, "hosts exported now"},
};

void export_store_render(export_store *s, double now, exposition *out)
{
    export_store_prune(s, now);
    render_streams(s, out);
    render_liveness(s, now, out);
    const double own[] = {static_cast<double>(s->lines),         static_cast<double>(s->unreadable),
                          static_cast<double>(s->figures_lines), static_cast<double>(s->connected),
                          static_cast<double>(s->connections),   static_cast<double>(s->host_count)};
    static_assert(sizeof(own) / sizeof(own[0]) == sizeof(OWN) / sizeof(OWN[0]), "a value per metric");
    for (size_t i = 0; i < sizeof(OWN) / sizeof(OWN[0]); i++) {
        expose_family(out, OWN[i].family, OWN[i].counter, nullptr, OWN[i].help);
        expose_sample(out, OWN[i].family, OWN[i].counter, nullptr, own[i]);
    }
    if (s->have_figures)
        render_figures(s, out);
}
