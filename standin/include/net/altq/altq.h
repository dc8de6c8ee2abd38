// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <net/altq/altq.h>: the queue scheduler numbers and
// the packet counter pair of the schedulers' statistics.
#pragma once

#include <sys/types.h>

#define ALTQT_NONE 0
#define ALTQT_CBQ 1
#define ALTQT_WFQ 2
#define ALTQT_AFMAP 3
#define ALTQT_FIFOQ 4
#define ALTQT_RED 5
#define ALTQT_RIO 6
#define ALTQT_LOCALQ 7
#define ALTQT_HFSC 8
#define ALTQT_CDNR 9
#define ALTQT_BLUE 10
#define ALTQT_PRIQ 11
#define ALTQT_JOBS 12
#define ALTQT_FAIRQ 13
#define ALTQT_CODEL 14
#define ALTQT_MAX 15

struct pktcntr {
    u_int64_t packets;
    u_int64_t bytes;
};

static_assert(sizeof(struct pktcntr) == 16, "struct pktcntr is 16 bytes");
