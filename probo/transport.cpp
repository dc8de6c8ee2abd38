// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The mux transport: one bound UDP socket per mux, one packet per due mux
// built in its buffer (header, packed streams, length, the authenticator
// when the mux has a key, CRC-32) and sent.
// Send failures never stop the monitor: the first is told at once, the
// updates lost after it once a minute and when sending works again.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

#include "catalogue.h"
#include "crc32.h"
#include "error.h"
#include "net.h"
#include "probo.h"

void open_mux_socket(mux *m)
{
    lookup_mux_address(m, SOCK_DGRAM);
    int family = m->socket_address.ss_family;
    sockaddr_storage local;
    get_sockaddr(&local, family, SOCK_DGRAM, AI_PASSIVE, m->from_address, "0");
    m->send_socket = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m->send_socket < 0) {
        m->send_socket = 0;
        fatal("could not obtain socket: %.200s", strerror(errno));
    }
    if (bind(m->send_socket, reinterpret_cast<const sockaddr *>(&local), sockaddr_length(&local)) != 0)
        fatal("could not bind socket: %.200s", strerror(errno));
    info("sending packets to udp %.200s", m->name);
}

void begin_packet(mux *m, time_t timestamp)
{
    // Packing leaves each argument's terminating zero to this clearing.
    memset(m->packet, 0, static_cast<size_t>(m->packet_size));
    m->header.version = PACKET_VERSION;
    m->header.timestamp = static_cast<uint64_t>(timestamp);
    m->offset = header_to_wire(m->packet, &m->header);
}

void add_stream_to_packet(stream *s, mux *m)
{
    m->offset += probe_table[s->type].pack(m->packet + m->offset, m->packet_size - m->offset, s);
}

// A collector stops reading a packet at a type it does not know: records
// every collector knows go first, so an older one still takes them all.
void add_streams_to_packet(mux *m, stream *found)
{
    stream *lists[] = {m->streams.first, found};
    for (int later = 0; later < 2; later++)
        for (stream *first : lists)
            for (stream *s = first; s; s = s->next)
                if ((catalogue::ROWS[s->type].sent_as >= STREAM_KNOWN_EVERYWHERE) == later)
                    add_stream_to_packet(s, m);
}

static void sign_packet(mux *m)
{
    // Room was made when the buffer was sized, unless the records filled
    // the largest packet: that one goes unsigned, and colvo refuses it.
    if (buffer_would_overflow(m->packet_size, m->offset, AUTH_SIZE))
        return;
    mux *signer = m->signer ? m->signer : m;
    authenticator a = {AUTH_KIND_HMAC_SHA256_128, {}, signer->sequence++};
    memcpy(a.boot, signer->boot, sizeof(a.boot));
    auth_sign(m->key, m->packet, m->offset, &a);
    m->offset += AUTH_SIZE;
}

static int same_sender(const mux *a, const mux *b)
{
    auto same = [](const char *x, const char *y) {
        return x == y || (x && y && strcmp(x, y) == 0);
    };
    return same(a->address, b->address) && same(a->port, b->port) &&
           same(a->from_address, b->from_address);
}

static mux *find_signer(const mux_list *list, const mux *m)
{
    for (mux *s = list ? list->first : nullptr; s; s = s->next)
        if (s->key && s->signer == s && same_sender(s, m))
            return s;
    return nullptr;
}

void setup_signing(mux_list *list, const mux_list *running)
{
    // One boot identifier for this start of the monitor.
    static uint8_t boot[AUTH_BOOT_SIZE];
    static int chosen;
    if (!chosen) {
        arc4random_buf(boot, sizeof(boot));
        chosen = 1;
    }
    for (mux *m = list->first; m; m = m->next)
        m->signer = nullptr;
    for (mux *m = list->first; m; m = m->next) {
        if (m->key == nullptr)
            continue;
        m->signer = find_signer(list, m);
        if (m->signer == nullptr) {
            m->signer = m;
            const mux *was = find_signer(running, m);
            if (was) {
                memcpy(m->boot, was->boot, sizeof(m->boot));
                m->sequence = was->sequence;
            } else if (running) {
                // New at a reload: the receiver may have known this
                // destination under the start's identifier, with higher
                // numbers than 0.
                arc4random_buf(m->boot, sizeof(m->boot));
            } else {
                memcpy(m->boot, boot, sizeof(m->boot));
            }
        }
    }
}

void finish_packet(mux *m)
{
    m->header.length = static_cast<uint16_t>(m->offset);
    m->header.crc = 0;
    header_to_wire(m->packet, &m->header);
    if (m->key)
        sign_packet(m);
    m->header.crc = crc32_compute(m->packet, static_cast<size_t>(m->offset));
    header_to_wire(m->packet, &m->header);
}

// The updates lost since the last count, the first failure included.
static void tell_lost(mux *m, time_t now)
{
    if (m->send_errors)
        warning("%d updates to mux(%.200s) lost due to send errors", m->send_errors, m->name);
    m->send_errors = 0;
    m->send_reported = now;
}

void send_packet(mux *m)
{
    ssize_t sent = sendto(m->send_socket, m->packet, static_cast<size_t>(m->offset), 0,
                          reinterpret_cast<const sockaddr *>(&m->socket_address),
                          sockaddr_length(&m->socket_address));
    const char *reason = sent < 0 ? strerror(errno) : "sent in part";
    time_t now = log_clock(nullptr);
    int minute_past = now - m->send_reported >= SEND_SUMMARY_INTERVAL || now < m->send_reported;
    if (sent == m->offset) {
        if (m->send_failing == SEND_FAILING_TOLD) {
            tell_lost(m, now);
            info("sending to mux(%.200s) works again", m->name);
        }
        m->send_failing = SEND_WORKING;
    } else if (m->send_failing == SEND_WORKING && minute_past) {
        // The first failure at once, unless failures were told within the
        // minute: then it waits for the next word.
        tell_lost(m, now);
        warning("sending to mux(%.200s) failed: %.200s", m->name, reason);
        m->send_errors = 1;
        m->send_failing = SEND_FAILING_TOLD;
        return;
    } else {
        m->send_errors++;
        if (m->send_failing == SEND_WORKING)
            m->send_failing = SEND_FAILING;
    }
    if (m->send_errors && minute_past)
        tell_lost(m, now);
}

void report_send_errors(mux_list *list)
{
    for (mux *m = list->first; m; m = m->next)
        tell_lost(m, log_clock(nullptr));
}
