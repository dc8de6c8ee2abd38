// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The FIFO line: colvo writes one per accepted packet, colvo-top and any
// other live client read them.
//
//   line   = host ";" entry* "\n"
//   entry  = type ":" argument ":" update ";"
//   update = timestamp (":" value)*
//
// host is the source's numeric address, type the stream's keyword,
// argument empty for a stream without one, timestamp the packet's time as
// "%u" and each value its format's field text (which begins with ":").
// An entry's update is, byte for byte, the update text its database gets:
// the writer hands out a pointer into the line, so the two never differ.
// Here are the separators, the room a line takes and the writer's pieces.
#pragma once

#include "packet.h"

inline constexpr char LINE_HOST_END = ';';
inline constexpr char LINE_FIELD = ':';
inline constexpr char LINE_ENTRY_END = ';';
inline constexpr char LINE_END = '\n';

enum {
    // Room of an entry beside its type name, argument and its values'
    // text widths (which count their separators): two separators, ten
    // timestamp digits and the entry's end take 13 of it, the line's
    // newline and terminator 2, and the rest is spare.
    LINE_ENTRY_OVERHEAD = 27,
};

// The most a source's line takes: its name and ";".
int line_host_room(const char *host);
// The most one entry of this type and argument adds to a line.
int line_entry_room(int type, const char *argument);

// A line being written into a buffer of the caller's; every piece keeps
// room for the newline and the terminator.
struct line_writer {
    char *start;
    int size;
    int used;
    const void *log_owner; // whose warnings a line's lack of room counts as
};

// Starts the line with the host.
void line_begin(line_writer *w, char *buffer, int size, const char *host,
                const void *log_owner = nullptr);
// Appends an entry up to its values and gives its update text, terminated
// where the entry's end will go; null when the entry does not fit, and the
// line is then as before.
char *line_entry(line_writer *w, const char *type_name, const char *argument,
                 const char *timestamp, const unpacked_stream *values);
// Ends the entry line_entry began.
void line_entry_end(line_writer *w);
// Ends the line; its length, newline included.
int line_finish(line_writer *w);
