// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The pf probe: the packet filter's status, read once per tick through
// /dev/pf (opened while the monitor is still privileged): its state and
// source tracking tables, the state table's lookups and changes, the
// packets counted under each reason and the overload tables' insertions.
// No packet filter, or one not running, is told once and sends nothing.
#include <sys/types.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <net/if.h>
#include <netinet/in.h>
#include <net/pfvar.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"

// The tables' sizes, the state table's three figures, every reason, and
// the overload insertions.
enum { VALUE_COUNT = 2 + FCNT_MAX + PFRES_MAX + 1 };
static_assert(VALUE_COUNT == catalogue::length(catalogue::ROWS[STREAM_PF].format),
              "the pf stream carries pf's status figures");

static int pf_fd = -1;
static struct pf_status status;
static int valid;
static int told_missing, told_failing, told_stopped;

static void open_pf()
{
    pf_fd = open("/dev/pf", O_RDONLY);
    if (pf_fd < 0 && !told_missing) {
        warning("pf not available on this host: could not open \"/dev/pf\", %.200s; sending nothing",
                strerror(errno));
        told_missing = 1;
    }
}

void pf_prepare()
{
    open_pf();
}

void pf_start(stream *s)
{
    if (pf_fd < 0)
        open_pf();
    info("started module pf(%.200s)", s->argument);
}

void pf_sample()
{
    valid = 0;
    if (pf_fd < 0)
        return;
    memset(&status, 0, sizeof(status));
    if (ioctl(pf_fd, DIOCGETSTATUS, &status) != 0) {
        if (!told_failing)
            warning("pf: DIOCGETSTATUS failed: %.200s; sending nothing", strerror(errno));
        told_failing = 1;
        return;
    }
    told_failing = 0;
    if (!status.running) {
        if (!told_stopped)
            warning("pf is not running; sending nothing while it is not");
        told_stopped = 1;
        return;
    }
    if (told_stopped)
        info("pf is running");
    told_stopped = 0;
    valid = 1;
}

int32_t pf_pack(uint8_t *buffer, int32_t space, stream *s)
{
    if (!valid)
        return 0;
    uint64_t values[VALUE_COUNT];
    int n = 0;
    values[n++] = status.states;
    values[n++] = status.src_nodes;
    values[n++] = status.fcounters[FCNT_STATE_SEARCH];
    values[n++] = status.fcounters[FCNT_STATE_INSERT];
    values[n++] = status.fcounters[FCNT_STATE_REMOVALS];
    for (int reason = 0; reason < PFRES_MAX; reason++)
        values[n++] = status.counters[reason];
    values[n++] = status.lcounters[LCNT_OVERLOAD_TABLE];
    return pack_typed_array<STREAM_PF>(buffer, space, s->argument, values);
}
