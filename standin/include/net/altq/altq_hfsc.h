// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <net/altq/altq_hfsc.h>: an HFSC class's version-0
// statistics as the amd64 kernel copies them out (440 bytes), the layout
// the header gives when PFIOC_USE_LATEST is not defined.
#pragma once

#include <stddef.h>
#include <net/altq/altq.h>

struct service_curve_v0 {
    u_int m1;
    u_int d;
    u_int m2;
};

struct hfsc_classstats_v0 {
    u_int class_id;
    u_int32_t class_handle;
    struct service_curve_v0 rsc;
    struct service_curve_v0 fsc;
    struct service_curve_v0 usc;
    u_int64_t total;
    u_int64_t cumul;
    u_int64_t d;
    u_int64_t e;
    u_int64_t vt;
    u_int64_t f;
    u_int64_t initvt;
    u_int64_t vtoff;
    u_int64_t cvtmax;
    u_int64_t myf;
    u_int64_t cfmin;
    u_int64_t cvtmin;
    u_int64_t myfadj;
    u_int64_t vtadj;
    u_int64_t cur_time;
    u_int32_t machclk_freq;
    u_int qlength;
    u_int qlimit;
    struct pktcntr xmit_cnt;
    struct pktcntr drop_cnt;
    u_int period;
    u_int vtperiod;
    u_int parentperiod;
    int nactive;
    int qtype;
    u_int64_t red_codel[25]; // RED/RIO and CoDel statistics; not read here
};

#ifndef PFIOC_USE_LATEST
#define hfsc_classstats hfsc_classstats_v0
#endif

static_assert(sizeof(struct hfsc_classstats_v0) == 440, "struct hfsc_classstats_v0 is 440 bytes");
static_assert(offsetof(struct hfsc_classstats_v0, xmit_cnt) == 184, "xmit_cnt at 184");
static_assert(offsetof(struct hfsc_classstats_v0, drop_cnt) == 200, "drop_cnt at 200");
