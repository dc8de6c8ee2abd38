// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Whole lines from colvo's live socket or FIFO, for its live readers
// (colvo-top, colvo-export): what a read brings is cut at newlines and each
// whole line handed on; the start of a line waits for the rest. A line
// longer than LINE_READER_MAX is dropped whole and counted.
#pragma once

#include <cstddef>

// A call reads at most LINE_READER_ROUNDS chunks: a writer that never
// pauses cannot keep the reader from its keys, clock and signals.
enum { LINE_READER_CHUNK = 65536, LINE_READER_MAX = 1 << 20, LINE_READER_ROUNDS = 4 };

struct line_reader {
    char *buffer; // LINE_READER_MAX bytes
    size_t used;
    int discarding; // within a line too long to keep
    long too_long;  // lines dropped for their length
};

typedef void (*line_taker)(void *context, const char *line, size_t length);

void line_reader_init(line_reader *r);
void line_reader_free(line_reader *r);
// Forgets a part line, as when the descriptor is closed.
void line_reader_reset(line_reader *r);
// Reads what fd holds without blocking, up to LINE_READER_ROUNDS chunks,
// and hands each whole line (newline excluded) to take. 0 when the other end went away (end of file or an
// error other than a wait), 1 otherwise.
int line_reader_read(line_reader *r, int fd, line_taker take, void *context);
