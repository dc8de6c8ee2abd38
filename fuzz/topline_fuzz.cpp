// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-top's reading of FIFO text: the input is split into lines as the
// FIFO would give them, fed to the table, and every row and value of the
// hosts is rendered. The table is emptied now and then to stay small.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "top_table.h"
#include "top_view.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static top_table table;
    static int runs;
    const char *text = reinterpret_cast<const char *>(data);
    const char *end = text + size;
    double now = 1000;
    while (text < end) {
        const void *nl = memchr(text, '\n', static_cast<size_t>(end - text));
        const char *line_end = nl ? static_cast<const char *>(nl) : end;
        top_table_line(&table, text, static_cast<size_t>(line_end - text), now);
        now += 0.5;
        text = line_end + 1;
    }
    for (int i = 0; i < table.count; i++) {
        top_row r;
        char line[512], name[32], value[32];
        top_row_fill(&r, &table.hosts[i], now);
        top_plain_line(line, sizeof(line), &table.hosts[i], &r);
        for (int s = 0; s < table.hosts[i].series_count; s++)
            for (int v = 0; v < table.hosts[i].series[s].count; v++)
                top_value_text(&table.hosts[i].series[s], v, name, sizeof(name), value,
                               sizeof(value));
    }
    if (++runs % 64 == 0)
        top_table_free(&table);
    return 0;
}
