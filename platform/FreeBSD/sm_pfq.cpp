// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The pfq probe: bytes and packets sent and dropped by the packet filter's
// ALTQ queues, each named interface/queue. Every tick walks all entries
// through /dev/pf and keeps one record per queue for the streams to find.
#include <sys/types.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <net/if.h>
#include <netinet/in.h>
#include <net/pfvar.h>
#include <net/altq/altq.h>
#include <net/altq/altq_cbq.h>
#include <net/altq/altq_priq.h>
#include <net/altq/altq_hfsc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"
#include "xmalloc.h"

// The line number this check has always been reported with.
enum { LINE_LIMIT = 160 };
enum { OBJECT_LIMIT = 10000, QUEUE_NAME_SIZE = 81, STATS_AREA_SIZE = 440 };

struct pfq_queue {
    char name[QUEUE_NAME_SIZE]; // interface/queue
    uint64_t sent_bytes;
    uint64_t sent_packets;
    uint64_t dropped_bytes;
    uint64_t dropped_packets;
};

// Room for the statistics of any of the three schedulers.
union stats_area {
    class_stats_t cbq;
    struct priq_classstats priq;
    struct hfsc_classstats hfsc;
    u_int8_t bytes[STATS_AREA_SIZE];
};

static_assert(sizeof(stats_area) == STATS_AREA_SIZE, "the statistics area is 440 bytes");

static int pf_fd = -1;
static pfq_queue *queues;
static uint32_t capacity;
static uint32_t valid;

static void open_pf()
{
    pf_fd = open("/dev/pf", O_RDONLY);
    if (pf_fd < 0)
        warning("pfq: could not open \"/dev/pf\", %.200s", strerror(errno));
}

void pfq_prepare()
{
    open_pf();
}

void pfq_start(stream *s)
{
    if (pf_fd < 0)
        open_pf();
    info("started module pfq(%.200s)", s->argument);
}

uint32_t pfq_capacity()
{
    return capacity;
}

// Room for twice the entries seen; the old records are rebuilt anyway.
static void grow(uint32_t entries)
{
    xfree(queues);
    queues = nullptr;
    capacity = 0;
    uint64_t wanted = 2ULL * entries; // no wrap for any count the kernel gives
    if (wanted > OBJECT_LIMIT)
        fatal("%s:%d: dynamic object limit (%d) exceeded for pf queue structures", __FILE__,
              LINE_LIMIT, OBJECT_LIMIT);
    capacity = static_cast<uint32_t>(wanted);
    queues = static_cast<pfq_queue *>(xmalloc(capacity * sizeof(pfq_queue)));
}

static void counters(pfq_queue *q, const pktcntr &sent, const pktcntr &dropped)
{
    q->sent_bytes = sent.bytes;
    q->sent_packets = sent.packets;
    q->dropped_bytes = dropped.bytes;
    q->dropped_packets = dropped.packets;
}

static void record(pfq_queue *q, const struct pfioc_altq &pa, const stats_area &stats)
{
    snprintf(q->name, sizeof(q->name), "%.*s/%.*s", static_cast<int>(sizeof(pa.altq.ifname)),
             pa.altq.ifname, static_cast<int>(sizeof(pa.altq.qname)), pa.altq.qname);
    switch (pa.altq.scheduler) {
    case ALTQT_PRIQ:
        counters(q, stats.priq.xmitcnt, stats.priq.dropcnt);
        break;
    case ALTQT_HFSC:
        counters(q, stats.hfsc.xmit_cnt, stats.hfsc.drop_cnt);
        break;
    case ALTQT_CBQ:
        counters(q, stats.cbq.xmit_cnt, stats.cbq.drop_cnt);
        break;
    default:
        // Still a queue a stream may name; it reports nothing it could trust.
        warning("pfq: unknown altq scheduler type encountered");
        counters(q, pktcntr{}, pktcntr{});
        break;
    }
}

void pfq_sample()
{
    struct pfioc_altq pa;
    struct pfioc_qstats pq;
    stats_area stats;
    memset(&pa, 0, sizeof(pa));
    memset(&pq, 0, sizeof(pq));
    memset(&stats, 0, sizeof(stats));
    if (ioctl(pf_fd, DIOCGETALTQS, &pa) != 0)
        fatal("pfq: DIOCGETALTQS failed");
    uint32_t entries = pa.nr;
    if (entries > capacity)
        grow(entries);
    valid = 0;
    for (uint32_t i = 0; i < entries; i++) {
        pa.nr = i;
        if (ioctl(pf_fd, DIOCGETALTQ, &pa) != 0)
            fatal("pfq: DIOCGETALTQ failed");
        // An interface's own entry, not a queue.
        if (pa.altq.qid == 0)
            continue;
        pq.ticket = pa.ticket;
        pq.nr = pa.nr;
        pq.buf = &stats;
        pq.nbytes = sizeof(stats);
        if (ioctl(pf_fd, DIOCGETQSTATS, &pq) != 0)
            fatal("pfq: DIOCGETQSTATS failed");
        record(&queues[valid++], pa, stats);
    }
}

int32_t pfq_pack(uint8_t *buffer, int32_t space, stream *s)
{
    for (uint32_t i = 0; i < valid; i++) {
        const pfq_queue &q = queues[i];
        if (strncmp(q.name, s->argument, sizeof(q.name)) != 0)
            continue;
        return pack_typed<STREAM_PFQ>(buffer, space, s->argument, q.sent_bytes, q.sent_packets,
                                      q.dropped_bytes, q.dropped_packets);
    }
    return 0;
}
