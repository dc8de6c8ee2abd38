// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-top's line parser. Fields are bounded copies checked before use;
// numbers are plain decimals only (no "nan", "inf" or hex that strtod
// would take).
#include "topline.h"

#include <cstdlib>
#include <cstring>

#include "fifoline.h"
#include "types.h"

enum { NUMBER_TEXT = 32 };

static const char *find(const char *at, const char *end, char c)
{
    const void *p = memchr(at, c, static_cast<size_t>(end - at));
    return p ? static_cast<const char *>(p) : end;
}

static bool printable(const char *at, const char *end)
{
    for (; at < end; at++)
        if (static_cast<unsigned char>(*at) <= ' ' || *at == 0x7f)
            return false;
    return true;
}

int topline_host(topline_cursor *c, const char *line, size_t length, char *host)
{
    c->at = line;
    c->end = line + length;
    const char *semi = find(line, c->end, LINE_HOST_END);
    size_t n = static_cast<size_t>(semi - line);
    if (semi == c->end || n == 0 || n >= TOP_NAME_TEXT || !printable(line, semi)) {
        c->at = c->end;
        return 0;
    }
    memcpy(host, line, n);
    host[n] = '\0';
    c->at = semi + 1;
    return 1;
}

static int type_named(const char *at, const char *end)
{
    size_t n = static_cast<size_t>(end - at);
    // A type without keyword never appears in a line.
    for (int type = 0; type < STREAM_TYPE_COUNT; type++) {
        if (!stream_type_named(type))
            continue;
        const char *name = stream_type_name(type);
        if (strlen(name) == n && memcmp(name, at, n) == 0)
            return type;
    }
    return -1;
}

// A decimal number: optional "-", digits, optional "." and digits.
static bool number(const char *at, const char *end, double *value)
{
    size_t n = static_cast<size_t>(end - at);
    if (n == 0 || n >= NUMBER_TEXT)
        return false;
    char text[NUMBER_TEXT];
    memcpy(text, at, n);
    text[n] = '\0';
    int digits = 0, dots = 0;
    for (size_t i = 0; i < n; i++) {
        if (text[i] >= '0' && text[i] <= '9')
            digits++;
        else if (text[i] == '.' && dots == 0)
            dots++;
        else if (!(text[i] == '-' && i == 0))
            return false;
    }
    if (digits == 0)
        return false;
    *value = strtod(text, nullptr);
    return true;
}

static bool parse(const char *at, const char *end, top_entry *e)
{
    const char *colon = find(at, end, LINE_FIELD);
    e->type = type_named(at, colon);
    if (e->type < 0 || colon == end)
        return false;
    at = colon + 1;
    colon = find(at, end, LINE_FIELD);
    size_t n = static_cast<size_t>(colon - at);
    if (colon == end || n >= TOP_NAME_TEXT)
        return false;
    memcpy(e->argument, at, n);
    e->argument[n] = '\0';
    at = colon + 1;
    colon = find(at, end, LINE_FIELD);
    double stamp;
    if (!number(at, colon, &stamp) || stamp < 0 || stamp > 4294967295.0 || colon == end)
        return false;
    e->timestamp = static_cast<uint32_t>(stamp);
    int expected = static_cast<int>(strlen(stream_type_format(e->type)));
    e->count = 0;
    while (colon < end) {
        at = colon + 1;
        colon = find(at, end, LINE_FIELD);
        if (e->count == expected || !number(at, colon, &e->values[e->count]))
            return false;
        e->count++;
    }
    return e->count == expected;
}

int topline_next(topline_cursor *c, top_entry *entry)
{
    if (c->at >= c->end)
        return TOPLINE_END;
    const char *semi = find(c->at, c->end, LINE_ENTRY_END);
    bool ended = semi < c->end;
    bool ok = ended && parse(c->at, semi, entry);
    c->at = ended ? semi + 1 : c->end;
    return ok ? TOPLINE_ENTRY : TOPLINE_SKIPPED;
}
