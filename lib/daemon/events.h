// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// One wait of a program's loop: the descriptors it watches, a deadline and
// its signal gate (signals.h), so that colvo, colvo-top and colvo-export
// wait alike and a flood or a ready terminal never keeps signals out.
#pragma once

#include <ctime>
#include <sys/select.h>

#include "signals.h"

struct event_set {
    fd_set readable;
    fd_set writable;
    int highest; // -1: none watched
};

void events_clear(event_set *e);
void events_read(event_set *e, int fd);
void events_write(event_set *e, int fd);
int events_readable(const event_set *e, int fd);
int events_writable(const event_set *e, int fd);
// Waits until a watched descriptor is ready, a signal comes (delivered
// under the gate's mask; null: none) or timeout passes (null: none); after
// the wait the sets hold what is ready. The count ready, 0 for the timeout
// or a signal, -1 for another failure of the wait.
int events_wait(event_set *e, signal_gate *gate, const timespec *timeout);
