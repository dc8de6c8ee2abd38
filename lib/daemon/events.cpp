// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "events.h"

#include <cerrno>

void events_clear(event_set *e)
{
    FD_ZERO(&e->readable);
    FD_ZERO(&e->writable);
    e->highest = -1;
}

void events_read(event_set *e, int fd)
{
    FD_SET(fd, &e->readable);
    if (fd > e->highest)
        e->highest = fd;
}

void events_write(event_set *e, int fd)
{
    FD_SET(fd, &e->writable);
    if (fd > e->highest)
        e->highest = fd;
}

int events_readable(const event_set *e, int fd)
{
    return fd >= 0 && FD_ISSET(fd, &e->readable);
}

int events_writable(const event_set *e, int fd)
{
    return fd >= 0 && FD_ISSET(fd, &e->writable);
}

int events_wait(event_set *e, signal_gate *gate, const timespec *timeout)
{
    int ready = pselect(e->highest + 1, &e->readable, &e->writable, nullptr, timeout,
                        gate ? &gate->wait_mask : nullptr);
    if (gate)
        signal_gate_pass(gate, ready);
    if (ready < 0 && errno == EINTR)
        return 0;
    return ready;
}
