// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Reading the kernel's text files: lines, and the numbers in them. The
// numbers are read by hand rather than with sscanf: these files are read
// every measurement, and the scanf machinery cost more than the reading.
#include <climits>
#include <cstring>

#include "internal.h"

const char *standin_next_line(const char *line)
{
    const char *newline = strchr(line, '\n');
    return newline && newline[1] ? newline + 1 : nullptr;
}

const char *standin_skip_blanks(const char *p)
{
    while (*p == ' ' || *p == '\t')
        p++;
    return p;
}

static int is_digit(char c)
{
    return c >= '0' && c <= '9';
}

int standin_numbers(const char *p, unsigned long long *values, int count)
{
    for (int i = 0; i < count; i++) {
        p = standin_skip_blanks(p);
        if (!is_digit(*p))
            return i;
        unsigned long long v = 0;
        for (; is_digit(*p); p++) {
            unsigned digit = static_cast<unsigned>(*p - '0');
            // Saturates, as strtoull does.
            v = v > (ULLONG_MAX - digit) / 10 ? ULLONG_MAX : v * 10 + digit;
        }
        values[i] = v;
    }
    return count;
}

int standin_integer(const char *p, long long *value)
{
    p = standin_skip_blanks(p);
    int negative = *p == '-';
    unsigned long long magnitude;
    if (!is_digit(p[negative]) || standin_numbers(p + negative, &magnitude, 1) != 1 ||
        magnitude > LLONG_MAX)
        return 0;
    *value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return 1;
}

const char *standin_skip_fields(const char *p, int count)
{
    for (int i = 0; i < count; i++) {
        p = standin_skip_blanks(p);
        if (*p == '\0' || *p == '\n')
            return nullptr;
        while (*p && *p != ' ' && *p != '\t' && *p != '\n')
            p++;
    }
    return p;
}

int standin_decimals(const char *p, double *values, int count)
{
    for (int i = 0; i < count; i++) {
        p = standin_skip_blanks(p);
        if (!is_digit(*p))
            return i;
        // The digits as one integer over a power of ten: one correctly
        // rounded division, the same double strtod gives for the text.
        unsigned long long mantissa = 0;
        double scale = 1;
        int digits = 0, fraction = 0;
        for (; is_digit(*p) || (*p == '.' && !fraction); p++) {
            if (*p == '.') {
                fraction = 1;
                continue;
            }
            if (++digits > 15)
                return i;
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
            if (fraction)
                scale *= 10;
        }
        values[i] = static_cast<double>(mantissa) / scale;
    }
    return count;
}
