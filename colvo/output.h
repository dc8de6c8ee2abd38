// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Output of accepted packets: each packet's FIFO line, built in the churn
// buffer and handed whole to the FIFO and the live socket's clients, and
// its streams' database updates; the counts behind the loss warnings.
#pragma once

#include <ctime>

#include "datagram.h"
#include "firstsight.h"
#include "lists.h"
#include "rrd_backend.h"
#include "rrd_failures.h"

struct live_server;

enum {
    RRD_ERRORS_REPORTED = 5,
    // A packet stamped further ahead of our clock is shown but not stored:
    // one such update would lock its database against every later one.
    FUTURE_SKEW_MAX = 600,
    // Losses past the messages of their own are summed up this often.
    SUMMARY_INTERVAL = 60,
    // Queued lines wait at most this long for more to share their write.
    FIFO_DELAY_NS = 10 * 1000 * 1000,
    // Every system's FIFO holds at least this much; the write limit is a
    // quarter of it where the system does not tell the FIFO's size.
    FIFO_CAPACITY_MIN = 16 * 1024,
    FIFO_WRITE_SHARE = 4,
};

// Lines waiting for their write: whole lines, each ending in its newline,
// in one plain buffer that the FIFO and the live socket's clients are
// handed alike.
struct line_batch {
    char *text; // room for the FIFO's write limit
    int length;
    int lines;
    timespec started; // when the first queued line came
};

// The FIFO, written in whole lines only, colvo its only writer. Queued
// lines go out together in writes of up to a quarter of what the FIFO
// holds, so that a reader a moment late still finds room for three more;
// a line longer than PIPE_BUF goes at once with those queued before it,
// one longer than the quarter alone. When the FIFO takes part of a write,
// the line it stopped in keeps its rest, written before anything else, and
// the lines after it are dropped whole (whole_lines.h): no reader sees a
// torn or glued line. Dropped lines are counted.
struct fifo_writer {
    int fd;
    int write_limit; // the most bytes of queued lines one write carries
    line_batch batch;
    char *pending; // the rest of a line the FIFO took in part
    int pending_length;
    int pending_size;
    long dropped;      // lines dropped since the last summary
    live_server *live; // gets the same lines; null: none
};

// What outlives one packet: the FIFO and the counts behind the warnings.
struct output_state {
    fifo_writer fifo;
    int rrd_errors;      // reported one by one, never reset
    long rrd_failed;     // failures since the last summary told by no message
    long socket_dropped; // datagrams the kernel had no room for, since then
    time_t last_summary;
    rrd_failures failures;
    int through_cache; // the library sends updates to rrdcached
    int cache_answered; // and the last one went through
    sightings taken;    // what the sources' patterns took, until a reload
};

void output_init(output_state *out, int fifo);
// What is still untold, and the FIFO's queue, then what the output holds:
// at exit.
void output_finish(output_state *out);
void fifo_queue_line(fifo_writer *w, const char *line, int length);
void fifo_flush(fifo_writer *w);
// How long queued lines may still wait (0: write them now), or null when
// none are queued.
const timespec *fifo_wait(fifo_writer *w, timespec *left);
// Sums up the losses at most once a minute.
void output_summarise(output_state *out);

// The FIFO line and database updates for one accepted datagram of src.
void process_packet(const source *src, const datagram *d, char *churnbuffer, int churn_size,
                    output_state *out);
