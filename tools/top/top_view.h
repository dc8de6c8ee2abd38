// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What colvo-top shows of a host, as text: the cells of its row (used by
// the screen and the line-per-host output alike) and the values of each
// of its streams.
#pragma once

#include <cstddef>

#include "top_table.h"

enum { TOP_CELL = 40 };

struct top_row {
    int silent;
    char age[TOP_CELL];  // since its last line
    char load[TOP_CELL]; // 1-minute average
    char cpu[TOP_CELL];  // busy % of each CPU, "/" between them
    char mem[TOP_CELL];  // memory used, bytes
    char in[TOP_CELL];   // bits/s over all interfaces
    char out[TOP_CELL];
    char ops[TOP_CELL];   // disk operations/s over all disks
    char fs[TOP_CELL];    // the fullest file system: "93% ada0p2"
};

void top_row_fill(top_row *r, const top_host *h, double now);

// "8.00k", "1.12G" (base 1024), "-" for NaN: three significant digits.
void human(char *buf, size_t room, double value, int base);

// The row as one labelled line, for output that is no terminal.
void top_plain_line(char *buf, size_t room, const top_host *h, const top_row *r);

// Name and shown value ("12.0/s" for counters) of value i of a stream.
void top_value_text(const top_series *s, int i, char *name, size_t name_room, char *value,
                    size_t value_room);
