// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <net/altq/altq_priq.h>: a PRIQ class's statistics
// as the amd64 kernel copies them out (256 bytes).
#pragma once

#include <stddef.h>
#include <net/altq/altq.h>

struct priq_classstats {
    u_int32_t class_handle;
    u_int qlength;
    u_int qlimit;
    u_int period;
    struct pktcntr xmitcnt;
    struct pktcntr dropcnt;
    int qtype;
    u_int64_t red_codel[25]; // RED/RIO and CoDel statistics; not read here
};

static_assert(sizeof(struct priq_classstats) == 256, "struct priq_classstats is 256 bytes");
static_assert(offsetof(struct priq_classstats, xmitcnt) == 16, "xmitcnt at 16");
static_assert(offsetof(struct priq_classstats, dropcnt) == 32, "dropcnt at 32");
