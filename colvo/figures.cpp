// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo's own figures: the running totals and their line for the live
// socket's readers.
#include "figures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xmalloc.h"

uint64_t colvo_figures[FIGURE_COUNT];

int figures_line(char *buffer, int size, time_t now)
{
    int used = snprintf(buffer, static_cast<size_t>(size), "%s%lld;", FIGURES_START,
                        static_cast<long long>(now));
    for (const figure_row &r : FIGURE_ROWS) {
        if (used >= size - 1)
            break;
        used += snprintf(buffer + used, static_cast<size_t>(size - used), "%s=%llu;", r.key,
                         static_cast<unsigned long long>(colvo_figures[r.id]));
    }
    // The table's keys and twenty digits each fit; a cut line still ends.
    if (used > size - 2)
        used = size - 2;
    buffer[used++] = '\n';
    buffer[used] = '\0';
    return used;
}

static int figure_of(const char *key, size_t length)
{
    for (const figure_row &r : FIGURE_ROWS)
        if (strlen(r.key) == length && memcmp(r.key, key, length) == 0)
            return r.id;
    return -1;
}

int figures_read(const char *line, size_t length, uint64_t *values)
{
    size_t start = sizeof(FIGURES_START) - 1;
    if (length < start || memcmp(line, FIGURES_START, start) != 0)
        return 0;
    const char *at = line + start, *end = line + length;
    // The time, then key=count pairs, each ended by ';'.
    const char *semi = static_cast<const char *>(memchr(at, ';', static_cast<size_t>(end - at)));
    while (semi) {
        at = semi + 1;
        semi = static_cast<const char *>(memchr(at, ';', static_cast<size_t>(end - at)));
        const char *equals =
            semi ? static_cast<const char *>(memchr(at, '=', static_cast<size_t>(semi - at))) : nullptr;
        if (equals == nullptr || equals + 1 == semi)
            continue;
        uint64_t n = 0;
        const char *p = equals + 1;
        for (; p < semi && *p >= '0' && *p <= '9'; p++)
            n = n * 10 + static_cast<uint64_t>(*p - '0');
        int f = figure_of(at, static_cast<size_t>(equals - at));
        if (p == semi && f >= 0)
            values[f] = n;
    }
    return 1;
}

char *sources_lines(const char *const *names, int count, int *length)
{
    // The names, and a line's head and end for each at worst.
    size_t size = (static_cast<size_t>(count) + 1) * (sizeof(SOURCES_START) + 2 * 12) + 1;
    for (int i = 0; i < count; i++)
        size += strlen(names[i]) + 1;
    char *text = static_cast<char *>(xmalloc(size));
    size_t used = 0;
    int i = 0;
    do {
        used += static_cast<size_t>(
            snprintf(text + used, size - used, "%s%d;%d;", SOURCES_START, count, i));
        size_t names_used = 0;
        for (; i < count && (names_used == 0 || names_used + strlen(names[i]) < SOURCES_LINE_NAMES); i++) {
            size_t n = strlen(names[i]);
            memcpy(text + used, names[i], n);
            text[used + n] = ';';
            used += n + 1;
            names_used += n + 1;
        }
        text[used++] = '\n';
    } while (i < count);
    text[used] = '\0';
    *length = static_cast<int>(used);
    return text;
}

// A number and its ';' at *at, which moves past them; -1 when there is none.
static long field_number(const char **at, const char *end)
{
    long n = 0;
    const char *p = *at;
    for (; p < end && *p >= '0' && *p <= '9' && n < 1000000000; p++)
        n = n * 10 + (*p - '0');
    if (p == *at || p == end || *p != ';')
        return -1;
    *at = p + 1;
    return n;
}

int sources_read(const char *line, size_t length, long *total, long *first, source_taker take,
                 void *context)
{
    size_t start = sizeof(SOURCES_START) - 1;
    if (length < start || memcmp(line, SOURCES_START, start) != 0)
        return 0;
    const char *at = line + start, *end = line + length;
    *total = field_number(&at, end);
    *first = field_number(&at, end);
    if (*total < 0 || *first < 0)
        return 0;
    for (; take && at < end;) {
        const char *semi = static_cast<const char *>(memchr(at, ';', static_cast<size_t>(end - at)));
        if (semi == nullptr)
            break;
        if (semi > at)
            take(context, at, static_cast<size_t>(semi - at));
        at = semi + 1;
    }
    return 1;
}
