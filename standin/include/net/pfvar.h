// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <net/pfvar.h>: the packet filter's status
// request, and its version-0 ALTQ requests and records, as FreeBSD's
// amd64 headers give them when PFIOC_USE_LATEST is not defined.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <net/if.h>
#include <netpfil/pf/pf.h>

#define PF_QNAME_SIZE 64

struct pf_altq_v0 {
    char ifname[IFNAMSIZ];
    void *unused1;
    struct {
        struct pf_altq_v0 *tqe_next;
        struct pf_altq_v0 **tqe_prev;
    } entries;
    uint8_t scheduler;
    uint16_t tbrsize;
    uint32_t ifbandwidth;
    char qname[PF_QNAME_SIZE];
    char parent[PF_QNAME_SIZE];
    uint32_t parent_qid;
    uint32_t bandwidth;
    uint8_t priority;
    uint8_t local_flags;
    uint16_t qlimit;
    uint16_t flags;
    union {
        u_int opts[10]; // the scheduler's options; not read here
    } pq_u;
    uint32_t qid;
};

struct pfioc_altq_v0 {
    u_int32_t action;
    u_int32_t ticket;
    u_int32_t nr;
    struct pf_altq_v0 altq;
};

struct pfioc_qstats_v0 {
    u_int32_t ticket;
    u_int32_t nr;
    void *buf;
    int nbytes;
    u_int8_t scheduler;
};

#ifndef PFIOC_USE_LATEST
#define pf_altq pf_altq_v0
#define pfioc_altq pfioc_altq_v0
#define pfioc_qstats pfioc_qstats_v0
#endif

// _IOWR('D', 21, struct pf_status)
#define DIOCGETSTATUS 0xC1A04415UL
// _IOWR('D', 47, struct pfioc_altq_v0) and its neighbours.
#define DIOCGETALTQS 0xC100442FUL
#define DIOCGETALTQ 0xC1004430UL
#define DIOCGETQSTATS 0xC0184432UL

static_assert(sizeof(struct pf_altq_v0) == 240, "struct pf_altq_v0 is 240 bytes");
static_assert(sizeof(struct pfioc_altq_v0) == 256, "struct pfioc_altq_v0 is 256 bytes");
static_assert(offsetof(struct pfioc_altq_v0, ticket) == 4, "ticket at 4");
static_assert(offsetof(struct pfioc_altq_v0, nr) == 8, "nr at 8");
static_assert(offsetof(struct pfioc_altq_v0, altq.ifname) == 16, "ifname at 16");
static_assert(offsetof(struct pfioc_altq_v0, altq.scheduler) == 56, "scheduler at 56");
static_assert(offsetof(struct pfioc_altq_v0, altq.qname) == 64, "qname at 64");
static_assert(offsetof(struct pfioc_altq_v0, altq.qid) == 248, "qid at 248");
static_assert(sizeof(struct pfioc_qstats_v0) == 24, "struct pfioc_qstats_v0 is 24 bytes");
static_assert(offsetof(struct pfioc_qstats_v0, buf) == 8, "buf at 8");
static_assert(offsetof(struct pfioc_qstats_v0, nbytes) == 16, "nbytes at 16");
