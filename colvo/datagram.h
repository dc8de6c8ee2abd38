// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A received datagram as a value: its bytes stay where the kernel put them
// (a receive batch's slot), and intake, authentication and output are
// each handed this, never a copy in the configuration.
#pragma once

#include <cstdint>
#include <sys/socket.h>

#include "packet.h"

struct datagram {
    uint8_t *bytes; // the check reads the CRC with its bytes zero, in place
    int length;     // received, at most the slot
    int room;       // the slot's size: a longer datagram was cut to it
    const sockaddr_storage *from;
    packet_header header; // set by accept_datagram
    int records;          // where the records start
};
