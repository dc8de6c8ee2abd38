// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-top's table: every host seen in the FIFO with every stream it
// sent, the last two samples of each, and what follows from them: rates
// of counters, the host's sending interval and whether it fell silent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "topline.h"

// Beyond these, new hosts and streams are ignored: garbage in the FIFO
// must not grow the table without end.
enum { TOP_HOSTS_MAX = 4096, TOP_SERIES_MAX = 1024, TOP_SILENT_INTERVALS = 3 };

struct top_series {
    int type;
    char argument[TOP_NAME_TEXT];
    int count;
    uint32_t time;
    uint32_t prev_time; // valid when have_prev
    int have_prev;
    double values[TOP_VALUES];
    double prev[TOP_VALUES];
};

struct top_host {
    char name[TOP_NAME_TEXT];
    double seen;       // monotonic seconds at its last line
    uint32_t stamp;    // timestamp of its last line
    uint32_t interval; // between its last two timestamps; 0 while unknown
    top_series *series;
    int series_count;
    int series_room;
};

// Hosts in name order.
struct top_table {
    top_host *hosts;
    int count;
    int room;
    long lines;   // lines read
    long skipped; // lines and entries that could not be read
};

void top_table_line(top_table *t, const char *line, size_t length, double now);
void top_table_free(top_table *t);

// Value i as shown: the rate per second of a counter (NaN until two
// samples, or after a counter went back), a gauge as it is.
double series_value(const top_series *s, int i);
// Index of the data source named so in the series' type, or -1.
int series_index(const top_series *s, const char *name);
// Silent: nothing for more than three of its intervals (five seconds
// until the interval is known).
int host_silent(const top_host *h, double now);
