// The multiplexer's modules: configuration reader, packet intake, output to
// round-robin databases and the FIFO, and the database backend table.
#pragma once

#include <csignal>
#include <ctime>
#include <sys/socket.h>

#include "lists.h"

// readconf: fills out with one mux holding the sources, their accepted
// streams and database file names. check: examine directories and files.
int load_config(mux_list *out, const char *path, int check);
int make_rrd_file_name(char *buffer, int room, int type, const char *argument);

// intake
int open_mux_sockets(mux *m);
// 1 with an accepted packet (source and received length set), 0 when a
// signal ended the wait. Signals are delivered only while waiting, with
// wait_mask in force.
int wait_for_packet(mux *m, source **src, int *received, const sigset_t *wait_mask);
int receive_packet(mux *m, int slot, source **src, int *received);
// The checks on a datagram already in m->packet: sender, length, CRC,
// version. 1 when accepted.
int accept_datagram(mux *m, int received, const sockaddr_storage *from, source **src);

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
};

// The FIFO, written in whole lines only: when the FIFO takes part of a
// line, the rest is kept and written before anything else; a line that
// cannot go in whole after it is dropped whole.
struct fifo_writer {
    int fd;
    char *pending; // the rest of a line the FIFO took in part
    int pending_length;
    int pending_size;
};

// What outlives one packet: the FIFO and the counts behind the warnings.
struct output_state {
    fifo_writer fifo;
    int rrd_errors;     // reported one by one, never reset
    long rrd_failed;    // failures since the last summary, once past those
    long lines_dropped; // since the last summary
    time_t last_summary;
};

void output_init(output_state *out, int fifo);
// 1 when the line went into the FIFO (or waits there in part), 0 when it
// was dropped whole.
int fifo_write_line(fifo_writer *w, const char *line, int length);

// output: the FIFO line and database updates for one accepted packet.
void process_packet(mux *m, const source *src, int received, char *churnbuffer, int churn_size,
                    output_state *out);
