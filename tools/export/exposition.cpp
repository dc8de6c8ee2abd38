// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Metrics in Prometheus' text format and in OpenMetrics: see exposition.h.
#include "exposition.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue.h"
#include "xmalloc.h"

const char *const EXPOSITION_TYPES[2] = {
    "text/plain; version=0.0.4; charset=utf-8",
    "application/openmetrics-text; version=1.0.0; charset=utf-8",
};

static const size_t TEXT_FIRST = 65536;

void export_text_add(export_text *t, const char *text, size_t length)
{
    if (t->length + length + 1 > t->size) {
        size_t size = t->size ? t->size : TEXT_FIRST;
        while (size < t->length + length + 1)
            size *= 2;
        t->data = static_cast<char *>(xrealloc(t->data, size));
        t->size = size;
    }
    memcpy(t->data + t->length, text, length);
    t->length += length;
    t->data[t->length] = '\0';
}

void export_text_puts(export_text *t, const char *text)
{
    export_text_add(t, text, strlen(text));
}

void export_text_free(export_text *t)
{
    xfree(t->data);
    *t = {};
}

// Help escapes a backslash and a newline, and in OpenMetrics a double
// quote too.
static void add_help(exposition *e, const char *help)
{
    for (const char *p = help; *p; p++) {
        if (*p == '\\')
            export_text_puts(&e->text, "\\\\");
        else if (*p == '\n')
            export_text_puts(&e->text, "\\n");
        else if (*p == '"' && e->format == EXPOSITION_OPENMETRICS)
            export_text_puts(&e->text, "\\\"");
        else
            export_text_add(&e->text, p, 1);
    }
}

static void add_name(exposition *e, const char *family, int counter)
{
    export_text_puts(&e->text, family);
    if (counter)
        export_text_puts(&e->text, "_total");
}

void expose_family(exposition *e, const char *family, int counter, const char *unit,
                   const char *help)
{
    // In OpenMetrics the family is named without "_total", its samples with.
    int suffixed = counter && e->format == EXPOSITION_TEXT;
    export_text_puts(&e->text, "# HELP ");
    add_name(e, family, suffixed);
    export_text_puts(&e->text, " ");
    add_help(e, help);
    export_text_puts(&e->text, "\n# TYPE ");
    add_name(e, family, suffixed);
    export_text_puts(&e->text, counter ? " counter\n" : " gauge\n");
    if (unit && e->format == EXPOSITION_OPENMETRICS) {
        export_text_puts(&e->text, "# UNIT ");
        export_text_puts(&e->text, family);
        export_text_puts(&e->text, " ");
        export_text_puts(&e->text, unit);
        export_text_puts(&e->text, "\n");
    }
}

void expose_sample(exposition *e, const char *family, int counter, const char *labels,
                   double value)
{
    add_name(e, family, counter);
    if (labels) {
        export_text_puts(&e->text, "{");
        export_text_puts(&e->text, labels);
        export_text_puts(&e->text, "}");
    }
    char number[32];
    int n = shortest_number(number, value);
    export_text_puts(&e->text, " ");
    export_text_add(&e->text, number, static_cast<size_t>(n));
    export_text_puts(&e->text, "\n");
}

void expose_end(exposition *e)
{
    if (e->format == EXPOSITION_OPENMETRICS)
        export_text_puts(&e->text, "# EOF\n");
}

// The length of the UTF-8 sequence at p, or 0 when p starts none.
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

// Bytes that do not form UTF-8 (a label value must be) become the text
// \xHH; a backslash, a double quote and a newline are escaped as the
// formats say.
void expose_label(export_text *t, const char *name, const char *value)
{
    if (t->length > 0)
        export_text_puts(t, ",");
    export_text_puts(t, name);
    export_text_puts(t, "=\"");
    const unsigned char *p = reinterpret_cast<const unsigned char *>(value);
    const unsigned char *end = p + strlen(value);
    while (p < end) {
        size_t n = utf8_length(p, end);
        if (n == 0) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\\\x%02x", *p);
            export_text_puts(t, hex);
            p++;
        } else if (*p == '\\' || *p == '"') {
            char escaped[3] = {'\\', static_cast<char>(*p), '\0'};
            export_text_puts(t, escaped);
            p++;
        } else if (*p == '\n') {
            export_text_puts(t, "\\n");
            p++;
        } else {
            export_text_add(t, reinterpret_cast<const char *>(p), n);
            p += n;
        }
    }
    export_text_puts(t, "\"");
}

int shortest_number(char *buffer, double value)
{
    if (std::isnan(value))
        return snprintf(buffer, 32, "NaN");
    if (std::isinf(value))
        return snprintf(buffer, 32, value > 0 ? "+Inf" : "-Inf");
    std::to_chars_result r = std::to_chars(buffer, buffer + 31, value);
    *r.ptr = '\0';
    return static_cast<int>(r.ptr - buffer);
}

double scaled_value(double value, double scale)
{
    if (scale == 1 || !std::isfinite(value))
        return value * scale;
    // The power of ten that scale is the inverse of, if any.
    double inverse = 1;
    int shift = 0;
    while (shift < 16 && inverse * scale < 1) {
        inverse *= 10;
        shift++;
    }
    if (1 / inverse != scale)
        return value * scale;
    // Shortest digits, exponent lowered by shift, read back.
    char text[48];
    std::to_chars_result r = std::to_chars(text, text + 32, value, std::chars_format::scientific);
    *r.ptr = '\0';
    char *e = strchr(text, 'e');
    if (e == nullptr)
        return value * scale;
    snprintf(e, 12, "e%d", atoi(e + 1) - shift);
    return strtod(text, nullptr);
}

enum { SOURCES_MAX = 32 };

// Every data source's exported name, made once.
struct family_names {
    char text[STREAM_TYPE_COUNT][SOURCES_MAX][catalogue::METRIC_NAME_ROOM];
};

static_assert([] {
    for (const stream_row &r : catalogue::ROWS)
        if (r.source_count > SOURCES_MAX)
            return false;
    return true;
}(), "room for every type's data sources");

static const family_names *names()
{
    static const family_names *made = [] {
        family_names *n = static_cast<family_names *>(xzalloc(sizeof(family_names)));
        for (const stream_row &r : catalogue::ROWS)
            for (int d = 0; r.keyword && d < r.source_count; d++)
                memcpy(n->text[r.type][d], catalogue::metric_family(r, d).text,
                       catalogue::METRIC_NAME_ROOM);
        return n;
    }();
    return made;
}

const char *export_family(int type, int source)
{
    return names()->text[type][source];
}
