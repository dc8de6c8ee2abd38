// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The live socket: a local stream socket beside the FIFO that serves every
// client the same whole lines the FIFO gets, from its connection on, and
// colvo's figures line. Nonblocking throughout: a client that does not
// read has its lines queued up to LIVE_BACKLOG, and what does not fit is
// dropped whole, for it alone, and counted. A client that closes its end
// is forgotten at once, one that writes is dropped and counted; past
// LIVE_CLIENTS_MAX, more are refused.
#pragma once

#include <ctime>

#include "events.h"
#include "unique_fd.h"

enum {
    LIVE_CLIENTS_MAX = 64,
    LIVE_BACKLOG = 1024 * 1024,
    LIVE_LISTEN_QUEUE = 16,
};

struct live_client {
    int fd;      // NO_FD: a free slot
    char *queue; // lines waiting for the client: queue[head, head + length)
    int head;
    int length;
    int size;
    int place; // in the loop's event set
};

struct live_server {
    int fd; // listening; NO_FD when none
    int place; // in the loop's event set
    int connected;
    long dropped; // lines dropped for clients since the last summary
    char *sources; // the lines telling colvo's sources; null before any
    int sources_length;
    live_client clients[LIVE_CLIENTS_MAX];
};

// Creates the socket at path, mode 0660, in the group of the user colvo
// runs as once it drops root when that user exists: start-up, so fatal
// when it cannot.
void live_open(live_server *s, const char *path);
// Whole lines for every client.
void live_send(live_server *s, const char *text, int length);
// The figures line, then the sources lines, for every client (once a
// minute).
void live_send_figures(live_server *s);
// The sources colvo is configured with now, told every client at once and
// each new one after the figures line.
void live_set_sources(live_server *s, const char *const *names, int count);
// Adds the descriptors to watch: the listening socket and each client
// (readable: it closed its end or wrote), and writable those with lines
// waiting.
void live_watch(live_server *s, event_set *e);
// New clients, ended ones, and queued lines that can go now.
void live_serve(live_server *s, const event_set *e);
// At exit: what can go without waiting goes, the rest is counted dropped.
void live_finish(live_server *s);
