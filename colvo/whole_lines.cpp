// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "whole_lines.h"

#include <cstring>

int cut_line_rest(const char *text, int length, int written)
{
    if (text[written - 1] == '\n')
        return 0;
    const void *end = memchr(text + written, '\n', static_cast<size_t>(length - written));
    return end ? static_cast<int>(static_cast<const char *>(end) - (text + written)) + 1
               : length - written;
}

long count_lines(const char *text, int length)
{
    long n = 0;
    for (const char *p = text, *end = text + length;
         (p = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p))));
         p++)
        n++;
    return n;
}
