// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The interface probe: the traffic counters of one network interface,
// found by its exact name in a snapshot of every interface's generic
// statistics taken once per measurement. if and if1 streams alike travel
// in the wide layout. if(*) finds every interface of the snapshot.
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <net/if.h>
#include <net/if_mib.h>

#include <cstring>

#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"
#include "xmalloc.h"

// The line number this check has always been reported with.
enum { LINE_LIMIT = 108 };

enum { IF_LIMIT = 10000 };

static int count;    // interfaces in the snapshot; -1 after a failed read
static int capacity; // the most ever counted: the array never shrinks
static ifmibdata *snapshot;

void if_start(stream *s)
{
    info("started module if(%.200s)", s->argument);
}

void if_sample()
{
    int name[6] = {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT};
    int counted = 0;
    size_t length = sizeof(counted);
    count = sysctl(name, 5, &counted, &length, nullptr, 0) == 0 ? counted : -1;
    if (count > capacity) {
        capacity = count;
        if (count > IF_LIMIT)
            fatal("%s:%d: dynamic object limit (%d) exceeded for ifmibdata structures", __FILE__,
                  LINE_LIMIT, IF_LIMIT);
        snapshot = static_cast<ifmibdata *>(
            xrealloc(snapshot, static_cast<size_t>(count) * sizeof(ifmibdata)));
    }
    name[3] = IFMIB_IFDATA;
    name[5] = IFDATA_GENERAL;
    for (int row = 1; row <= count; row++) {
        ifmibdata *d = &snapshot[row - 1];
        name[4] = row;
        length = sizeof(*d);
        // A row that is gone must not keep an earlier tick's interface.
        if (sysctl(name, 6, d, &length, nullptr, 0) != 0)
            d->ifmd_name[0] = '\0';
        d->ifmd_name[sizeof(d->ifmd_name) - 1] = '\0';
    }
}

void if_discover(discover_found *found, void *receiver)
{
    if_sample();
    for (int i = 0; i < count; i++)
        if (snapshot[i].ifmd_name[0] != '\0')
            found(receiver, snapshot[i].ifmd_name);
}

int32_t if_pack(uint8_t *buffer, int32_t space, stream *s)
{
    for (int i = 0; i < count; i++) {
        const ifmibdata *d = &snapshot[i];
        if (d->ifmd_name[0] == '\0' || strcmp(d->ifmd_name, s->argument) != 0)
            continue;
        const if_data *f = &d->ifmd_data;
        return pack_typed<STREAM_IF>(buffer, space, s->argument, f->ifi_ipackets, f->ifi_opackets,
                                     f->ifi_ibytes, f->ifi_obytes, f->ifi_imcasts,
                                     f->ifi_omcasts, f->ifi_ierrors, f->ifi_oerrors,
                                     f->ifi_collisions, f->ifi_iqdrops);
    }
    return 0;
}
