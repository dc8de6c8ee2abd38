// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Whole lines from a stream: see line_reader.h.
#include "line_reader.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "xmalloc.h"

void line_reader_init(line_reader *r)
{
    memset(r, 0, sizeof(*r));
    r->buffer = static_cast<char *>(xmalloc(LINE_READER_MAX));
}

void line_reader_free(line_reader *r)
{
    xfree(r->buffer);
    r->buffer = nullptr;
}

void line_reader_reset(line_reader *r)
{
    r->used = 0;
    r->discarding = 0;
}

static void take_lines(line_reader *r, line_taker take, void *context)
{
    char *start = r->buffer;
    char *end = r->buffer + r->used;
    char *nl;
    while ((nl = static_cast<char *>(memchr(start, '\n', static_cast<size_t>(end - start))))) {
        if (!r->discarding)
            take(context, start, static_cast<size_t>(nl - start));
        r->discarding = 0;
        start = nl + 1;
    }
    r->used = static_cast<size_t>(end - start);
    memmove(r->buffer, start, r->used);
    // No room for another read: the line is longer than any colvo writes.
    if (r->used + LINE_READER_CHUNK > LINE_READER_MAX) {
        r->used = 0;
        r->discarding = 1;
        r->too_long++;
    }
}

int line_reader_read(line_reader *r, int fd, line_taker take, void *context)
{
    for (int round = 0; round < LINE_READER_ROUNDS; round++) {
        ssize_t n = read(fd, r->buffer + r->used, LINE_READER_CHUNK);
        if (n > 0) {
            r->used += static_cast<size_t>(n);
            take_lines(r, take, context);
            continue;
        }
        return n != 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    // More may wait: the caller's next wait finds it at once.
    return 1;
}
