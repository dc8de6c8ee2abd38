// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo's sockets and the batch each wake-up receives into: one UDP socket
// per address family of the configured sources, bound to the mux's port,
// owned by colvo's loop and carried over a reload where they stay.
#pragma once

#include <csignal>
#include <ctime>
#include <sys/socket.h>

#include "datagram.h"
#include "lists.h"
#include "signals.h"
#include "unique_fd.h"

struct live_server;

enum { RECEIVE_BATCH = 32 };

// The datagrams of one wake-up, each in a slot of slot_size bytes (the
// mux's receive size), with its sender and length.
struct receive_batch {
    uint8_t *buffers;
    int slot_size;
    int count;
    int lengths[RECEIVE_BATCH];
    sockaddr_storage from[RECEIVE_BATCH];
    uint32_t dropped; // datagrams the kernel had no room for since the last wake-up
    // Each socket's own running count of them, where the kernel tells: the
    // sockets count apart, and new sockets count from 0.
    uint32_t socket_drops[MUX_SOCKET_SLOTS];
    // The kernel's view of the slots, pointed at them once per sizing: a
    // wake-up that brings one datagram does not set up all of them.
    mmsghdr headers[RECEIVE_BATCH];
    iovec vectors[RECEIVE_BATCH];
    char controls[RECEIVE_BATCH][CMSG_SPACE(sizeof(uint32_t))];
};

// The sockets, by address family; NO_FD where none.
struct socket_set {
    int fd[MUX_SOCKET_SLOTS];
};

struct receiver {
    socket_set sockets;
    receive_batch batch;
};

// The bytes of slot i.
uint8_t *receive_batch_slot(const receive_batch *b, int i);
// Datagram i of the batch, in its slot.
datagram batch_datagram(const receive_batch *b, int i);
// No sockets.
void socket_set_init(socket_set *s);
// No sockets, no slots.
void receiver_init(receiver *r);
// Binds a socket per address family of the mux's sources into s (made
// empty first), their buffers sized for bursts of receive_size datagrams.
// On reload, running holds the sockets in force: those whose address, port
// and family stay are carried over (shared, not closed, their queues
// kept), and the others are left to the caller to drain and close. The
// count of sockets open; failures counts the binds that failed.
int open_sockets(socket_set *s, mux *m, int receive_size, const socket_set *running = nullptr,
                 int *failures = nullptr);
// Closes the sockets that keeper does not hold too (null: all).
void close_sockets(socket_set *s, const socket_set *keeper);
// (Re)allocates the batch's slots for the mux's receive size.
void receive_batch_size(receive_batch *b, int slot_size);
// Waits until a socket is readable, then takes what is waiting on each,
// up to RECEIVE_BATCH in all, without blocking. The count taken, or 0 when
// a signal or the timeout (null: none) ended the wait, or the live
// socket's clients alone had something. Signals are delivered while
// waiting, with the gate's mask in force, and by the gate when the
// sockets are ready at every wait (null: none).
int wait_for_datagrams(receiver *r, signal_gate *signals, const timespec *timeout,
                       live_server *live = nullptr);
// What is waiting on the socket of the slot, without blocking, up to
// RECEIVE_BATCH; the count taken.
int take_waiting(receiver *r, int slot);
