// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor's modules: configuration reader, mux transport and the
// measurement pass of the loop.
#pragma once

#include <ctime>

#include "lists.h"
#include "probe.h"
#include "sender.h"

enum { DISCOVER_PERIOD = 60 };

// readconf: fills list from the monitor statements of path; 1 on success.
// discover_period: set to how often the host is looked at anew for what
// the patterns stand for (seconds).
int read_config(mux_list *list, const char *path, int *discover_period = nullptr);

// transport: the packet of one due mux, built in its sender and sent.
void begin_packet(sender *to, time_t timestamp);
void add_stream_to_packet(stream *s, sender *to);
// Every stream of the mux, then those found for it (a chain, or null),
// those of types every collector knows first.
void add_streams_to_packet(sender *to, stream *found = nullptr);
void finish_packet(sender *to);
void send_packet(sender *to);
// Tells the updates lost and not yet told (at exit).
void report_send_errors(sender_list *list);

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
void measure(sender_list *list, time_t now, int tick, const discovery *found = nullptr);
