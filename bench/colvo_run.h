// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What the benchmarks share: loopback addresses, ports, the packet a source
// sends, configurations, processes started quietly and their figures, and
// a detached colvo with its FIFO open.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/types.h>
#include <vector>

enum { BENCH_STREAMS = 10 };

sockaddr_in loopback(const std::string &host, int port);
std::string source_host(int i); // 127.0.0.(2 + i)
int free_port();
// A UDP socket bound to a free loopback port (in *fd); the port.
int sink_port(int *fd);
// Sources spread over 127.1.0.0/16, so any count has addresses of its own,
// and a configuration accepting if(em0) to if(em9) from count of them.
std::string spread_host(int i);
std::string spread_conf(const std::string &dir, int port, int count);
// One UDP socket bound to each of sources 0 to count - 1.
std::vector<int> source_sockets(int count);
// A packet of BENCH_STREAMS records of one type named prefix0, prefix1...,
// every value from the timestamp times scale.
std::vector<uint8_t> bench_packet(int type, const char *prefix, uint64_t timestamp, uint64_t scale);
// if(em0) to if(em9), counters from the timestamp.
std::vector<uint8_t> if_packet(uint64_t timestamp);
// A configuration accepting those streams from sources 0 to sources - 1,
// with a datadir each when store is set.
std::string write_colvo_conf(const std::string &dir, int port, int sources, bool store);

struct colvo_run {
    pid_t pid;  // the detached daemon, 0 when it did not start
    int fifo;   // its FIFO, open for reading
};
// Starts colvo detached, as in production, and waits for its FIFO and pid.
colvo_run start_colvo(const std::string &colvo, const std::string &conf);
void stop_colvo(colvo_run *run);
// A figure in KiB of /proc/<pid>/status ("RssAnon:"), 0 if not there;
// rss_kib is "VmRSS:".
long status_kib(pid_t pid, const char *field);
long rss_kib(pid_t pid);
// Time on CPU of a process, from the scheduler's own account, in seconds.
double process_cpu(pid_t pid);
// Runs args[0] with its output discarded.
pid_t spawn(const std::vector<std::string> &args);
// Waits up to timeout_ms for the FIFO (or a live socket), reads once and
// adds the newlines read to *lines; the bytes read (0 at its end), or -1
// when nothing came in time. Each thread reads into a buffer of its own.
long fifo_read_lines(int fifo, int timeout_ms, long *lines);
// A client of colvo's live socket, tried for up to five seconds; -1 when
// none could connect.
int connect_live();
