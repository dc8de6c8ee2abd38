// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The multiplexer's modules: configuration reader, packet intake, output to
// round-robin databases and the FIFO, and the database backend table.
#pragma once

#include <csignal>
#include <climits>
#include <cstdint>
#include <ctime>
#include <sys/socket.h>
#include <sys/types.h>

#include "lists.h"
#include "signals.h"

struct live_server;

// readconf: fills out with one mux holding the sources, their accepted
// streams and database file names. check: examine directories and files.
// running: on reload, the configuration in force, whose databases stay
// attached when they cannot be opened now.
int load_config(mux_list *out, const char *path, int check, const mux *running = nullptr);
// The directory colvo was started in, taken at the first call (before
// daemon() moves to "/"): relative paths are made absolute against it.
const char *start_directory();
int make_rrd_file_name(char *buffer, int room, int type, const char *argument);

// intake
// Binds a socket per address family of the sources. On reload, running is
// the configuration in force: its sockets whose address, port and family
// stay are carried over (not closed, their queues kept), and the others are
// left to the caller to drain and close; nothing of it is closed here.
// The count of sockets open; failures counts the binds that failed.
int open_mux_sockets(mux *m, const mux *running = nullptr, int *failures = nullptr);

enum { RECEIVE_BATCH = 32 };

// The datagrams of one wake-up, each in a slot of slot_size bytes (the
// mux's receive buffer size), with its sender and length.
struct receive_batch {
    uint8_t *buffers;
    int slot_size;
    int count;
    int lengths[RECEIVE_BATCH];
    sockaddr_storage from[RECEIVE_BATCH];
    uint32_t dropped; // datagrams the kernel had no room for since the last wake-up
    // Each socket's own running count of them, where the kernel tells: the
    // sockets count apart, and new sockets count from 0.
    uint32_t socket_drops[MUX_SOCKET_SLOTS];
    // The kernel's view of the slots, pointed at them once per sizing: a
    // wake-up that brings one datagram does not set up all of them.
    mmsghdr headers[RECEIVE_BATCH];
    iovec vectors[RECEIVE_BATCH];
    char controls[RECEIVE_BATCH][CMSG_SPACE(sizeof(uint32_t))];
};

// (Re)allocates the slots for the mux's receive buffer size.
void receive_batch_size(receive_batch *b, int slot_size);
// Waits until a socket is readable, then takes what is waiting on each,
// up to RECEIVE_BATCH in all, without blocking. The count taken, or 0 when
// a signal or the timeout (null: none) ended the wait, or the live
// socket's clients alone had something. Signals are delivered while
// waiting, with the gate's mask in force, and by the gate when the
// sockets are ready at every wait (null: none).
int wait_for_datagrams(mux *m, receive_batch *b, signal_gate *signals,
                       const timespec *timeout, live_server *live = nullptr);
// What is waiting on the socket of the slot, without blocking, up to
// RECEIVE_BATCH; the count taken.
int take_waiting(mux *m, int slot, receive_batch *b);
// Datagram i into the mux's receive buffer, as accept_datagram reads it;
// its length there.
int take_datagram(mux *m, const receive_batch *b, int i);
// The checks on a datagram already in m->packet: sender, length, CRC,
// version. 1 when accepted.
int accept_datagram(mux *m, int received, const sockaddr_storage *from, source **src);

// Keyed sources (auth_check.cpp): a datagram of a source with a key is
// taken only with an authenticator that verifies, from the same boot with
// a higher sequence number or from a later boot, stamped within
// AUTH_SKEW_MAX of our clock, skipping at most SEQUENCE_SKIP_MAX numbers.
// Called after the CRC and version checks, before any record is read; 1
// when the datagram is taken.
int check_authenticator(mux *m, source *src, int received, const sockaddr_storage *from);

enum { AUTH_SKEW_MAX = 600 };
// Four billion packets: more than a century of them at one a second.
constexpr uint64_t SEQUENCE_SKIP_MAX = uint64_t{1} << 32;

// What the intake refuses of keyed sources, by reason, and the packets
// they lose are colvo's figures (figures.h): FIG_SEQUENCE_JUMP to FIG_LOST.

// A keyed source of the new configuration goes on where the running one
// stopped (boot, sequence, losses not yet told); losses of sources that
// leave are told now.
void auth_carry_over(mux *fresh, const mux *running);
// The losses per source, once a minute, and always when at_exit is set.
void auth_summarise(const mux *m, int at_exit);
// When the losses were last summed up (tests set it).
extern time_t auth_last_summary;

// privdrop.cpp: started as root, colvo runs as this user once it has
// done what needs root.
struct run_as {
    int change; // 0: stay the user that started colvo
    uid_t uid;
    gid_t gid;
};
// Looked up while still on the terminal: started as root (and not told to
// keep its user), a missing user is fatal, saying what to do (program: the
// name told to start with -u).
run_as lookup_run_as(int keep_user, const char *program);
// setgroups, setgid, setuid, then each read back; fatal when any differs.
void drop_privileges(const run_as *user);
// Set once colvo has given up root: what needs it now fails.
extern int privileges_dropped;
// Warns once per file about each configured database this process cannot
// write.
void warn_unwritable_databases(const mux *m);

// The database library as a table, so tests and fuzzing can record calls.
struct rrd_backend {
    int (*update)(int argc, char **argv);
    int (*test_error)();
    const char *(*get_error)();
    void (*clear_error)();
};
extern const rrd_backend librrd_backend;
extern const rrd_backend *rrd_backend_current;

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
// the lines after it are dropped whole: no reader sees a torn or glued
// line. Dropped lines are counted.
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

enum {
    FAILING_FILES = 32,    // database files followed at once
    FAILURE_MESSAGES = 10, // first failures and recoveries told per interval
    SUMMARY_FILES = 5,     // files named in each summary
    FAILURE_REASON = 160,
};

// A database file that failed in this interval or fails still.
struct failing_file {
    char *name; // null: the slot is free
    uint32_t hash;
    int failing; // no success since its last failure
    long failed; // in this interval
    long run;    // since its last success
    char reason[FAILURE_REASON];
};

// The files failing now, in a fixed table: the streams need no counter of
// their own, and a table full counts the failures of further files only.
struct rrd_failures {
    int used;
    int messages; // told in this interval
    long unlisted;
    failing_file files[FAILING_FILES];
};

// One failure of the file with the library's text. told: the caller has
// reported it. Tells the first failure of a file (since its last success)
// while the interval's messages last; 1 when the failure was told.
int rrd_failure(rrd_failures *f, const char *name, const char *reason, int told);
// Tells that a failing file is written again.
void rrd_success(rrd_failures *f, const char *name);
// The files that failed most in the last seconds, and the rest in one line.
void rrd_failures_summarise(rrd_failures *f, int seconds);
void rrd_failures_free(rrd_failures *f);

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
};

void output_init(output_state *out, int fifo);
// What is still untold, and the FIFO's queue: at exit.
void output_finish(output_state *out);
void output_free(output_state *out);
void fifo_queue_line(fifo_writer *w, const char *line, int length);
void fifo_flush(fifo_writer *w);
// How long queued lines may still wait (0: write them now), or null when
// none are queued.
const timespec *fifo_wait(fifo_writer *w, timespec *left);
// Sums up the losses at most once a minute.
void output_summarise(output_state *out);
// Writes the queued lines, then output_summarise.
void output_flush(output_state *out);

// output: the FIFO line and database updates for one accepted packet.
void process_packet(mux *m, const source *src, int received, char *churnbuffer, int churn_size,
                    output_state *out);
