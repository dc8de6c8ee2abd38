// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// One wait of a program's loop: the descriptors it watches, a deadline and
// its signal gate (signals.h), so that colvo, colvo-top and colvo-export
// wait alike and a flood or a ready terminal never keeps signals out.
#pragma once

#include <ctime>
#include <poll.h>

#include "signals.h"

enum { EVENTS_MAX = 128 };

struct event_set {
    pollfd watched[EVENTS_MAX];
    int count;
};

void events_clear(event_set *e);
// Watches the descriptor (NO_FD: a place that is never ready); its place
// in the set, for events_ready.
int events_watch(event_set *e, int fd, int readable, int writable);
// After the wait: the descriptor at place has input, or its peer is gone
// or failed (which a read then tells).
int events_readable(const event_set *e, int place);
int events_writable(const event_set *e, int place);
// The peer hung up or the descriptor failed: nothing more can come.
int events_ended(const event_set *e, int place);
// Waits until a watched descriptor is ready, a signal comes (delivered
// under the gate's mask; null: none) or timeout passes (null: none). The
// count ready, 0 for the timeout or a signal, -1 for another failure.
int events_wait(event_set *e, signal_gate *gate, const timespec *timeout);
