// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The mux transport: one packet per due mux built in its sender's buffer
// (header, packed streams, length, the authenticator when the mux has a
// key, CRC-32) and sent on the sender's socket.
// Send failures never stop the monitor: the first is told at once, the
// updates lost after it once a minute and when sending works again.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "catalogue.h"
#include "crc32.h"
#include "error.h"
#include "net.h"
#include "probo.h"

void begin_packet(sender *to, time_t timestamp)
{
    // Packing leaves each argument's terminating zero to this clearing.
    memset(to->packet, 0, static_cast<size_t>(to->packet_size));
    to->header.version = PACKET_VERSION;
    to->header.timestamp = static_cast<uint64_t>(timestamp);
    to->offset = header_to_wire(to->packet, &to->header);
}

void add_stream_to_packet(stream *s, sender *to)
{
    int room = to->packet_size - to->offset;
    to->offset += probe_table[s->type].pack(to->packet + to->offset, room, s);
}

// A collector stops reading a packet at a type it does not know: records
// every collector knows go first, so an older one still takes them all.
void add_streams_to_packet(sender *to, stream *found)
{
    stream *lists[] = {to->m->streams.first, found};
    for (int later = 0; later < 2; later++)
        for (stream *first : lists)
            for (stream *s = first; s; s = s->next)
                if ((catalogue::ROWS[s->type].sent_as >= STREAM_KNOWN_EVERYWHERE) == later)
                    add_stream_to_packet(s, to);
}

static void sign_packet(sender *to)
{
    // Room was made when the buffer was sized, unless the records filled
    // the largest packet: that one goes unsigned, and colvo refuses it.
    if (buffer_would_overflow(to->packet_size, to->offset, AUTH_SIZE))
        return;
    sender *signer = to->signer ? to->signer : to;
    authenticator a = {AUTH_KIND_HMAC_SHA256_128, {}, signer->sequence++};
    memcpy(a.boot, signer->boot, sizeof(a.boot));
    auth_sign(to->m->key, to->packet, to->offset, &a);
    to->offset += AUTH_SIZE;
}

void finish_packet(sender *to)
{
    to->header.length = static_cast<uint16_t>(to->offset);
    to->header.crc = 0;
    header_to_wire(to->packet, &to->header);
    if (to->m->key)
        sign_packet(to);
    to->header.crc = crc32_compute(to->packet, static_cast<size_t>(to->offset));
    header_to_wire(to->packet, &to->header);
}

// The updates lost since the last count, the first failure included.
static void tell_lost(sender *to, time_t now)
{
    if (to->send_errors)
        warning("%d updates to mux(%.200s) lost due to send errors", to->send_errors, to->m->name);
    to->send_errors = 0;
    to->send_reported = now;
}

void send_packet(sender *to)
{
    ssize_t sent = sendto(to->socket, to->packet, static_cast<size_t>(to->offset), 0,
                          reinterpret_cast<const sockaddr *>(&to->destination),
                          sockaddr_length(&to->destination));
    const char *reason = sent < 0 ? strerror(errno) : "sent in part";
    const char *name = to->m->name;
    time_t now = log_clock(nullptr);
    int minute_past = now - to->send_reported >= SEND_SUMMARY_INTERVAL || now < to->send_reported;
    if (sent == to->offset) {
        if (to->send_failing == SEND_FAILING_TOLD) {
            tell_lost(to, now);
            info("sending to mux(%.200s) works again", name);
        }
        to->send_failing = SEND_WORKING;
    } else if (to->send_failing == SEND_WORKING && minute_past) {
        // The first failure at once, unless failures were told within the
        // minute: then it waits for the next word.
        tell_lost(to, now);
        warning("sending to mux(%.200s) failed: %.200s", name, reason);
        to->send_errors = 1;
        to->send_failing = SEND_FAILING_TOLD;
        return;
    } else {
        to->send_errors++;
        if (to->send_failing == SEND_WORKING)
            to->send_failing = SEND_FAILING;
    }
    if (to->send_errors && minute_past)
        tell_lost(to, now);
}

void report_send_errors(sender_list *list)
{
    for (sender *to = list->first; to; to = to->next)
        tell_lost(to, log_clock(nullptr));
}
