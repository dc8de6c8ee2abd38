// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <net/altq/altq_cbq.h>: a CBQ class's statistics
// as the amd64 kernel copies them out (296 bytes).
#pragma once

#include <stddef.h>
#include <net/altq/altq.h>

typedef struct _cbq_class_stats_ {
    u_int32_t handle;
    u_int depth;
    struct pktcntr xmit_cnt;
    struct pktcntr drop_cnt;
    u_int over;
    u_int borrows;
    u_int overactions;
    u_int delays;
    int priority;
    int maxidle;
    int minidle;
    int offtime;
    int qmax;
    int ns_per_byte;
    int wrr_allot;
    int qcnt;
    int avgidle;
    int qtype;
    u_int64_t red_codel[25]; // RED/RIO and CoDel statistics; not read here
} class_stats_t;

static_assert(sizeof(class_stats_t) == 296, "class_stats_t is 296 bytes");
static_assert(offsetof(class_stats_t, xmit_cnt) == 8, "xmit_cnt at 8");
static_assert(offsetof(class_stats_t, drop_cnt) == 24, "drop_cnt at 24");
