// The multiplexer's modules: configuration reader, packet intake, output to
// round-robin databases and the FIFO, and the database backend table.
#pragma once

#include <csignal>
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

enum { RRD_ERRORS_REPORTED = 5 };

// output: the FIFO line and database updates for one accepted packet.
void process_packet(mux *m, const source *src, int received, char *churnbuffer, int churn_size,
                    int fifo, int *rrd_errors);
