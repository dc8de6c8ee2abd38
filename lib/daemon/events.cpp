// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "events.h"

#include <cerrno>

#include "error.h"

void events_clear(event_set *e)
{
    e->count = 0;
}

int events_watch(event_set *e, int fd, int readable, int writable)
{
    if (e->count == EVENTS_MAX)
        fatal("%s:%d: more than %d descriptors to watch", __FILE__, __LINE__, EVENTS_MAX);
    short wanted = static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
    e->watched[e->count] = {fd, wanted, 0};
    return e->count++;
}

int events_readable(const event_set *e, int place)
{
    return place >= 0 && (e->watched[place].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int events_writable(const event_set *e, int place)
{
    return place >= 0 && (e->watched[place].revents & POLLOUT) != 0;
}

int events_ended(const event_set *e, int place)
{
    return place >= 0 && (e->watched[place].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int events_wait(event_set *e, signal_gate *gate, const timespec *timeout)
{
    for (int i = 0; i < e->count; i++)
        e->watched[i].revents = 0;
    int ready = ppoll(e->watched, static_cast<nfds_t>(e->count), timeout,
                      gate ? &gate->wait_mask : nullptr);
    if (gate)
        signal_gate_pass(gate, ready);
    if (ready < 0 && errno == EINTR)
        return 0;
    return ready;
}
