// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The hosts and streams colvo-top has seen; which values are counters
// comes from the stream type descriptions.
#include "top_table.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "types.h"
#include "xmalloc.h"

enum { DEFAULT_INTERVAL = 5 };

static top_host *find_host(top_table *t, const char *name)
{
    // The table is kept sorted by name: the first not before it.
    int at = 0, end = t->count;
    while (at < end) {
        int middle = at + (end - at) / 2;
        if (strcmp(t->hosts[middle].name, name) < 0)
            at = middle + 1;
        else
            end = middle;
    }
    if (at < t->count && strcmp(t->hosts[at].name, name) == 0)
        return &t->hosts[at];
    if (t->count >= TOP_HOSTS_MAX)
        return nullptr;
    if (t->count == t->room) {
        t->room = t->room ? 2 * t->room : 16;
        t->hosts = static_cast<top_host *>(
            xrealloc(t->hosts, static_cast<size_t>(t->room) * sizeof(top_host)));
    }
    memmove(&t->hosts[at + 1], &t->hosts[at],
            static_cast<size_t>(t->count - at) * sizeof(top_host));
    t->count++;
    top_host *h = &t->hosts[at];
    memset(h, 0, sizeof(*h));
    snprintf(h->name, sizeof(h->name), "%s", name);
    return h;
}

static top_series *find_series(top_host *h, const top_entry *e)
{
    for (int i = 0; i < h->series_count; i++)
        if (h->series[i].type == e->type && strcmp(h->series[i].argument, e->argument) == 0)
            return &h->series[i];
    if (h->series_count >= TOP_SERIES_MAX)
        return nullptr;
    if (h->series_count == h->series_room) {
        h->series_room = h->series_room ? 2 * h->series_room : 8;
        h->series = static_cast<top_series *>(
            xrealloc(h->series, static_cast<size_t>(h->series_room) * sizeof(top_series)));
    }
    top_series *s = &h->series[h->series_count++];
    memset(s, 0, sizeof(*s));
    s->type = e->type;
    memcpy(s->argument, e->argument, sizeof(s->argument));
    return s;
}

static void record(top_series *s, const top_entry *e)
{
    // A repeated timestamp replaces the sample instead of making a zero interval.
    if (s->count == e->count && e->timestamp != s->time) {
        memcpy(s->prev, s->values, sizeof(s->prev));
        s->prev_time = s->time;
        s->have_prev = 1;
    } else if (s->count != e->count) {
        s->have_prev = 0;
    }
    s->count = e->count;
    s->time = e->timestamp;
    memcpy(s->values, e->values, sizeof(s->values));
}

void top_table_line(top_table *t, const char *line, size_t length, double now)
{
    topline_cursor c;
    char name[TOP_NAME_TEXT];
    t->lines++;
    if (!topline_host(&c, line, length, name)) {
        t->skipped++;
        return;
    }
    top_host *h = find_host(t, name);
    if (h == nullptr)
        return;
    h->seen = now;
    top_entry e;
    int r;
    while ((r = topline_next(&c, &e)) != TOPLINE_END) {
        if (r == TOPLINE_SKIPPED) {
            t->skipped++;
            continue;
        }
        // A clock stepped back restarts the interval, it does not freeze it.
        if (e.timestamp != h->stamp) {
            if (h->stamp && e.timestamp > h->stamp)
                h->interval = e.timestamp - h->stamp;
            h->stamp = e.timestamp;
        }
        top_series *s = find_series(h, &e);
        if (s)
            record(s, &e);
    }
}

void top_table_free(top_table *t)
{
    for (int i = 0; i < t->count; i++)
        xfree(t->hosts[i].series);
    xfree(t->hosts);
    memset(t, 0, sizeof(*t));
}

double series_value(const top_series *s, int i)
{
    int count = 0;
    const data_source *ds = stream_data_sources(s->type, &count);
    if (i < 0 || i >= s->count)
        return NAN;
    if (ds == nullptr || i >= count || ds[i].kind != DS_COUNTER)
        return s->values[i];
    if (!s->have_prev || s->time <= s->prev_time || s->values[i] < s->prev[i])
        return NAN;
    return (s->values[i] - s->prev[i]) / (s->time - s->prev_time);
}

int series_index(const top_series *s, const char *name)
{
    int count = 0;
    const data_source *ds = stream_data_sources(s->type, &count);
    for (int i = 0; ds && i < count && i < s->count; i++)
        if (strcmp(ds[i].name, name) == 0)
            return i;
    return -1;
}

int host_silent(const top_host *h, double now)
{
    double interval = h->interval ? h->interval : static_cast<double>(DEFAULT_INTERVAL);
    return now - h->seen > TOP_SILENT_INTERVALS * interval;
}
