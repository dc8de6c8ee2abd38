// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export's store: the latest values of every stream of every host
// read from colvo's live socket, colvo's figures and its sources, and
// their exposition. A stream silent for three of its host's intervals
// drops out, and so does a silent host unless colvo is configured with it:
// such a host stays, with its liveness.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exposition.h"
#include "figures.h"
#include "remote.h"
#include "topline.h"

enum {
    EXPORT_SILENT_INTERVALS = 3,
    // Until a host's second line tells its interval.
    EXPORT_DEFAULT_INTERVAL = 60,
    // Garbage must not grow the store without end.
    EXPORT_HOSTS_MAX = 65536,
    EXPORT_STREAMS_MAX = 4096,
};

struct export_stream {
    export_stream *next;
    int type;
    char argument[TOP_NAME_TEXT];
    double seen; // monotonic seconds at its last entry
    int count;
    double values[TOP_VALUES]; // as sent
    remote_series *series; // its remote-write labels, made at its first values
};

struct export_host {
    export_host *next; // in its bucket
    char name[TOP_NAME_TEXT];
    uint32_t hash;
    double seen;       // monotonic seconds at its last line
    double seen_wall;  // the wall clock's then; 0: no line since colvo-export started
    uint32_t stamp;    // timestamp of its last line
    uint32_t interval; // between its last two timestamps; 0 while unknown
    int configured;    // one of colvo's sources
    export_stream *streams;
    int stream_count;
    remote_series *series; // its liveness' remote-write labels
};

struct export_store {
    export_host **buckets;
    int bucket_count; // a power of two
    int host_count;
    long lines;      // host lines read
    long unreadable; // lines and entries that could not be read
    long figures_lines;
    int have_figures;
    uint64_t figures[FIGURE_COUNT]; // colvo's, from its last figures line
    int connected;    // to colvo's live socket now
    long connections; // made since the start
    int remote;       // every new value is written to the receivers (remote.h)
    // colvo's sources being told: the names so far, each ended by '\0'.
    export_text told;
    long told_count;
    long told_total; // -1: none being told
};

void export_store_init(export_store *s);
void export_store_free(export_store *s);
// One line from the socket, newline excluded, read at now (monotonic
// seconds) and wall (the wall clock's).
void export_store_line(export_store *s, const char *line, size_t length, double now, double wall);
// colvo's socket was left: a telling of sources half read is forgotten.
void export_store_disconnected(export_store *s);
// Every host's liveness at now, for the receivers.
void export_store_push_liveness(export_store *s, double now, double wall);
// Forgets hosts and streams silent at now.
void export_store_prune(export_store *s, double now);
// The exposition at now (pruned first), appended to out.
void export_store_render(export_store *s, double now, exposition *out);
// 1 while the host's lines come: one within three of its intervals.
int export_host_up(const export_host *h, double now);
