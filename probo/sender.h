// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// probo's running state for each destination, apart from its mux: the
// bound socket and resolved destination, the packet being built, the place
// in the interval, the send failures being counted and the signing boot
// and sequence. One sender per mux, in the mux list's order, owned by the
// loop and carried over a reload.
#pragma once

#include <ctime>
#include <sys/socket.h>

#include "auth.h"
#include "lists.h"
#include "packet.h"

enum {
    SEND_SUMMARY_INTERVAL = 60,
    // A sender's send_failing.
    SEND_WORKING = 0,
    SEND_FAILING = 1,      // since a failure not told on its own
    SEND_FAILING_TOLD = 2, // since a failure told at once
};

struct sender {
    const mux *m; // what it sends, where and how often
    int socket;   // NO_FD before it is opened
    sockaddr_storage destination;
    int elapsed; // seconds into the interval
    packet_header header;
    int offset;
    int packet_size;
    uint8_t *packet;
    unsigned int send_errors; // updates lost since the last count
    int send_failing;
    time_t send_reported;
    // Keyed muxes to one destination from one local address share the
    // boot identifier and sequence of the first (the receiver follows one
    // per sender): this one's, or null when the mux has no key.
    sender *signer;
    uint64_t sequence;
    uint8_t boot[AUTH_BOOT_SIZE];
    sender *next;
};

struct sender_list {
    sender *first;
};

// A sender for m at the head of the list, as mux_list_add puts a mux at
// the head of its own: the two lists keep one order.
sender *sender_list_add(sender_list *list, const mux *m);
// One sender per mux, in the muxes' order, neither sized nor opened.
void sender_list_make(sender_list *list, const mux_list *muxes);
// Closes the sockets and frees the senders.
void sender_list_free(sender_list *list);

// Links the keyed senders to their signers, and carries what runs from the
// senders in force (null at start) to those of a new configuration: a mux
// of the same name keeps its place in its interval and its send failures;
// a signer to the same destination from the same local address goes on
// with its boot and sequence. A signer new at a reload takes a boot of its
// own (the receiver may have known the destination under the start's, with
// higher numbers); at start, all take the start's.
void sender_list_carry(sender_list *fresh, const sender_list *running);

// The packet buffer for the mux's streams and extra bytes of other records.
void sender_size_packet(sender *s, int extra = 0);
// Resolves the destination and binds a socket to the local address; a
// failure is fatal.
void open_sender_socket(sender *s);
