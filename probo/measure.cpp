// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// One measurement of the loop, and the timing rules around it.
#include "discover.h"
#include "error.h"
#include "probo.h"

int gcd(int a, int b)
{
    while (b != 0) {
        int r = a % b;
        a = b;
        b = r;
    }
    return a < 0 ? -a : a;
}

int mux_list_tick(const mux_list *list)
{
    int tick = list->first ? list->first->interval : 0;
    for (const mux *m = list->first; m; m = m->next)
        tick = gcd(tick, m->interval);
    return tick > 0 ? tick : 1;
}

measure_decision decide_measurement(time_t now, time_t last_measurement, int tick)
{
    if (now < last_measurement || now > last_measurement + 2 * tick)
        return MEASURE_TIME_CHANGE;
    if (now < last_measurement + tick)
        return MEASURE_SKIP;
    return MEASURE_NORMAL;
}

static void sample(stream *first, probe_entry *table)
{
    for (stream *s = first; s; s = s->next) {
        probe_entry *entry = &table[s->type];
        if (entry->in_use)
            continue;
        entry->in_use = 1;
        if (entry->sample)
            entry->sample();
    }
}

static stream *found_first(const discovery *found, const mux *m)
{
    const stream_list *l = found_streams(found, m);
    return l ? l->first : nullptr;
}

void measure(sender_list *list, time_t now, int tick, const discovery *found)
{
    probe_entry *table = probe_table;
    for (int i = 0; i < PROBE_TABLE_SIZE; i++)
        table[i].in_use = 0;
    for (sender *to = list->first; to; to = to->next) {
        to->elapsed += tick;
        if (to->elapsed < to->m->interval)
            continue;
        sample(to->m->streams.first, table);
        sample(found_first(found, to->m), table);
    }
    for (sender *to = list->first; to; to = to->next) {
        if (to->elapsed < to->m->interval)
            continue;
        to->elapsed = 0;
        begin_packet(to, now);
        add_streams_to_packet(to, found_first(found, to->m));
        finish_packet(to);
        send_packet(to);
    }
}
