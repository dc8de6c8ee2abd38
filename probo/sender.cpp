// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The senders: made per mux, sized, opened, and their running state carried
// from the senders of the configuration they replace.
#include "sender.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>

#include "error.h"
#include "net.h"
#include "unique_fd.h"
#include "xmalloc.h"

static sender *new_sender(const mux *m)
{
    sender *s = xnew_record<sender>();
    s->m = m;
    s->socket = NO_FD;
    return s;
}

sender *sender_list_add(sender_list *list, const mux *m)
{
    sender *s = new_sender(m);
    s->next = list->first;
    list->first = s;
    return s;
}

void sender_list_make(sender_list *list, const mux_list *muxes)
{
    sender **tail = &list->first;
    for (const mux *m = muxes->first; m; m = m->next) {
        *tail = new_sender(m);
        tail = &(*tail)->next;
    }
}

void sender_list_free(sender_list *list)
{
    sender *next;
    for (sender *s = list->first; s; s = next) {
        next = s->next;
        if (s->socket != NO_FD)
            close(s->socket);
        xfree(s->packet);
        xfree(s);
    }
    list->first = nullptr;
}

static int same_text(const char *x, const char *y)
{
    return x == y || (x && y && strcmp(x, y) == 0);
}

static int same_sender(const mux *a, const mux *b)
{
    return same_text(a->address, b->address) && same_text(a->port, b->port) &&
           same_text(a->from_address, b->from_address);
}

static sender *find_signer(const sender_list *list, const mux *m)
{
    for (sender *s = list ? list->first : nullptr; s; s = s->next)
        if (s->m->key && s->signer == s && same_sender(s->m, m))
            return s;
    return nullptr;
}

static const sender *find_by_name(const sender_list *list, const char *name)
{
    for (const sender *s = list ? list->first : nullptr; s; s = s->next)
        if (strcmp(s->m->name, name) == 0)
            return s;
    return nullptr;
}

void sender_list_carry(sender_list *fresh, const sender_list *running)
{
    // One boot identifier for this start of the monitor.
    static uint8_t boot[AUTH_BOOT_SIZE];
    static int chosen;
    if (!chosen) {
        arc4random_buf(boot, sizeof(boot));
        chosen = 1;
    }
    // A mux that stays keeps its place in its interval and its failures.
    for (sender *s = fresh->first; s; s = s->next) {
        s->signer = nullptr;
        const sender *old = find_by_name(running, s->m->name);
        if (old) {
            s->elapsed = old->elapsed;
            s->send_errors = old->send_errors;
            s->send_failing = old->send_failing;
            s->send_reported = old->send_reported;
        }
    }
    for (sender *s = fresh->first; s; s = s->next) {
        if (s->m->key == nullptr)
            continue;
        s->signer = find_signer(fresh, s->m);
        if (s->signer)
            continue;
        s->signer = s;
        const sender *was = find_signer(running, s->m);
        if (was) {
            memcpy(s->boot, was->boot, sizeof(s->boot));
            s->sequence = was->sequence;
        } else if (running) {
            // The receiver may know this destination under the start's
            // boot, with higher numbers than 0.
            arc4random_buf(s->boot, sizeof(s->boot));
        } else {
            memcpy(s->boot, boot, sizeof(s->boot));
        }
    }
}

void sender_size_packet(sender *s, int extra)
{
    int size = mux_send_size(s->m, extra);
    xfree(s->packet);
    s->packet_size = size;
    s->packet = static_cast<uint8_t *>(xzalloc(static_cast<size_t>(size)));
}

void open_sender_socket(sender *s)
{
    const mux *m = s->m;
    lookup_mux_address(m, SOCK_DGRAM, &s->destination);
    int family = s->destination.ss_family;
    sockaddr_storage local;
    get_sockaddr(&local, family, SOCK_DGRAM, AI_PASSIVE, m->from_address, "0");
    s->socket = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s->socket < 0) {
        s->socket = NO_FD;
        fatal("could not obtain socket: %.200s", strerror(errno));
    }
    if (bind(s->socket, reinterpret_cast<const sockaddr *>(&local), sockaddr_length(&local)) != 0)
        fatal("could not bind socket: %.200s", strerror(errno));
    info("sending packets to udp %.200s", m->name);
}
