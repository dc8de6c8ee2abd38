// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Reading colvo's FIFO lines (fifoline.h) for its live readers, colvo-top
// and colvo-export: "host;" then entries "type:argument:timestamp:value...;".
// Any byte sequence is safe input: a cut line, an unknown type, a wrong
// count of values or garbage only costs the entries it touches. Nothing
// here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

enum { TOP_NAME_TEXT = 64, TOP_VALUES = 24 };

struct top_entry {
    int type;
    char argument[TOP_NAME_TEXT];
    uint32_t timestamp;
    int count;
    double values[TOP_VALUES];
};

struct topline_cursor {
    const char *at;
    const char *end;
};

enum topline_result { TOPLINE_END = 0, TOPLINE_ENTRY = 1, TOPLINE_SKIPPED = 2 };

// Starts on a line (newline excluded) and reads its host into host (room
// TOP_NAME_TEXT). 0 when the line has no well-formed host.
int topline_host(topline_cursor *c, const char *line, size_t length, char *host);

// The next entry of the line. TOPLINE_SKIPPED for one that is malformed,
// of an unknown type, or not ended by ";" (a cut line); reading goes on
// after it.
int topline_next(topline_cursor *c, top_entry *entry);
