// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <netpfil/pf/pf.h>: the packet filter's status
// record as DIOCGETSTATUS returns it on amd64 (416 bytes), with the
// numbers of its counters.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <net/if.h>

// counters[]: packets by reason.
#define PFRES_MATCH 0
#define PFRES_BADOFF 1
#define PFRES_FRAG 2
#define PFRES_SHORT 3
#define PFRES_NORM 4
#define PFRES_MEMORY 5
#define PFRES_TS 6
#define PFRES_CONGEST 7
#define PFRES_IPOPTIONS 8
#define PFRES_PROTCKSUM 9
#define PFRES_BADSTATE 10
#define PFRES_STATEINS 11
#define PFRES_MAXSTATES 12
#define PFRES_SRCLIMIT 13
#define PFRES_SYNPROXY 14
#define PFRES_MAPFAILED 15
#define PFRES_MAX 16

// lcounters[]: the limits rules set.
#define LCNT_STATES 0
#define LCNT_SRCSTATES 1
#define LCNT_SRCNODES 2
#define LCNT_SRCCONN 3
#define LCNT_SRCCONNRATE 4
#define LCNT_OVERLOAD_TABLE 5
#define LCNT_OVERLOAD_FLUSH 6
#define LCNT_MAX 7

// fcounters[]: the state table.
#define FCNT_STATE_SEARCH 0
#define FCNT_STATE_INSERT 1
#define FCNT_STATE_REMOVALS 2
#define FCNT_MAX 3

// scounters[]: the source tracking table.
#define SCNT_SRC_NODE_SEARCH 0
#define SCNT_SRC_NODE_INSERT 1
#define SCNT_SRC_NODE_REMOVALS 2
#define SCNT_MAX 3

#define PF_MD5_DIGEST_LENGTH 16

struct pf_status {
    uint64_t counters[PFRES_MAX];
    uint64_t lcounters[LCNT_MAX];
    uint64_t fcounters[FCNT_MAX];
    uint64_t scounters[SCNT_MAX];
    uint64_t pcounters[2][2][3];
    uint64_t bcounters[2][2];
    uint32_t running;
    uint32_t states;
    uint32_t src_nodes;
    uint32_t since;
    uint32_t debug;
    uint32_t hostid;
    char ifname[IFNAMSIZ];
    uint8_t pf_chksum[PF_MD5_DIGEST_LENGTH];
};

static_assert(sizeof(struct pf_status) == 416, "struct pf_status is 416 bytes");
static_assert(offsetof(struct pf_status, lcounters) == 128, "lcounters at 128");
static_assert(offsetof(struct pf_status, fcounters) == 184, "fcounters at 184");
static_assert(offsetof(struct pf_status, running) == 360, "running at 360");
static_assert(offsetof(struct pf_status, states) == 364, "states at 364");
static_assert(offsetof(struct pf_status, src_nodes) == 368, "src_nodes at 368");
