// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor's modules: configuration reader, mux transport and the
// measurement pass of the loop.
#pragma once

#include <ctime>

#include "lists.h"
#include "probe.h"

enum { DISCOVER_PERIOD = 60 };

// readconf: fills list from the monitor statements of path; 1 on success.
// discover_period: set to how often the host is looked at anew for what
// the patterns stand for (seconds).
int read_config(mux_list *list, const char *path, int *discover_period = nullptr);

// transport
void open_mux_socket(mux *m);
void begin_packet(mux *m, time_t timestamp);
void add_stream_to_packet(stream *s, mux *m);
// Every stream of the mux, then those found for it (a chain, or null),
// those of types every collector knows first.
void add_streams_to_packet(mux *m, stream *found = nullptr);
// Muxes with a key to the same destination from the same local address
// share one boot identifier and sequence (the receiver follows one per
// sender). On reload, running is the list in force: its counters go on.
void setup_signing(mux_list *list, const mux_list *running);
void finish_packet(mux *m);
void send_packet(mux *m);
// Tells the updates lost and not yet told (at exit).
void report_send_errors(mux_list *list);

enum {
    SEND_SUMMARY_INTERVAL = 60,
    // A mux's send_failing.
    SEND_WORKING = 0,
    SEND_FAILING = 1,      // since a failure not told on its own
    SEND_FAILING_TOLD = 2, // since a failure told at once
};

// measurement
enum measure_decision {
    MEASURE_SKIP,        // woke too early after the last measurement
    MEASURE_NORMAL,
    MEASURE_TIME_CHANGE, // clock set back, or a pause of more than two ticks
};

int gcd(int a, int b);
// The timer period: the gcd of all intervals. All-zero intervals give 1, so
// the loop never spins.
int mux_list_tick(const mux_list *list);
measure_decision decide_measurement(time_t now, time_t last_measurement, int tick);
struct discovery;
// One measurement: sample each type once for the due muxes, then build and
// send their packets (their own streams, then those found for them), all
// with the timestamp now.
void measure(mux_list *list, time_t now, int tick, const discovery *found = nullptr);
