// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// One measurement of the loop, and the timing rules around it.
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

void measure(mux_list *list, time_t now, int tick)
{
    probe_entry *table = probe_table;
    for (int i = 0; i < PROBE_TABLE_SIZE; i++)
        table[i].in_use = 0;
    for (mux *m = list->first; m; m = m->next) {
        m->elapsed += tick;
        if (m->elapsed < m->interval)
            continue;
        for (stream *s = m->streams.first; s; s = s->next) {
            probe_entry *entry = &table[s->type];
            if (entry->in_use)
                continue;
            entry->in_use = 1;
            if (entry->sample)
                entry->sample();
        }
    }
    for (mux *m = list->first; m; m = m->next) {
        if (m->elapsed < m->interval)
            continue;
        m->elapsed = 0;
        begin_packet(m, now);
        add_streams_to_packet(m);
        finish_packet(m);
        send_packet(m);
    }
}
