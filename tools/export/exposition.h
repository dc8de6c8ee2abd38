// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The exposition of metrics, in Prometheus' text format 0.0.4 or, when the
// scraper asks for it, in OpenMetrics 1.0: each family's help, kind and
// unit once, then its samples, label values escaped, numbers in the
// shortest text that reads back as the same number.
#pragma once

#include <cstddef>

enum exposition_format { EXPOSITION_TEXT = 0, EXPOSITION_OPENMETRICS = 1 };

// The Content-Type of each format.
extern const char *const EXPOSITION_TYPES[2];

// A growing text.
struct export_text {
    char *data;
    size_t length;
    size_t size;
};

void export_text_add(export_text *t, const char *text, size_t length);
void export_text_puts(export_text *t, const char *text);
void export_text_free(export_text *t);

struct exposition {
    export_text text;
    int format;
};

// One of colvo-export's own metrics: its family, kind and help.
struct metric_row {
    const char *family;
    int counter;
    const char *help;
};

// A family's head. counter: its samples end in "_total" (and in the 0.0.4
// format, so do the head's names); unit: in OpenMetrics, the base unit its
// name ends in, or null.
void expose_family(exposition *e, const char *family, int counter, const char *unit,
                   const char *help);
// A sample of the family; labels: the text between the braces, or null.
void expose_sample(exposition *e, const char *family, int counter, const char *labels,
                   double value);
// What ends the exposition: "# EOF" in OpenMetrics.
void expose_end(exposition *e);
// name="value", the value escaped, after a comma unless t is empty.
void expose_label(export_text *t, const char *name, const char *value);

// The shortest text that reads back as value, NUL-ended in buffer (32
// bytes); its length.
int shortest_number(char *buffer, double value);
// value times scale, in decimal where scale is a negative power of ten:
// 41.1 * 0.01 is 0.411, where the binary product is 0.41100000000000003.
double scaled_value(double value, double scale);

// The exported name of a data source of a named type (catalogue.h), made
// once for all.
const char *export_family(int type, int source);
