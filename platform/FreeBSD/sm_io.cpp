// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The io probe: read and write transfers and bytes of one disk, from the
// device statistics library's snapshot of every device, fetched whole at
// each tick; io, io2 and io1 streams alike travel as io. io(*) finds
// every device with statistics but the pass-through ones, which count
// only what the disk's own device counts too.
#include <sys/types.h>
#include <devstat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diskname.h"
#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"
#include "xmalloc.h"

enum { CANDIDATE_SIZE = 1024 };

static int numdevs;
static devinfo holder;
static statinfo stats;

// ada0 and ada0p2 name device ada unit 0, ada10 unit 10; ada names none.
static int matches(const devstat *d, const char *name)
{
    size_t n = strnlen(d->device_name, sizeof(d->device_name));
    return strncmp(name, d->device_name, n) == 0 && strlen(name) > n &&
           isdigit(static_cast<unsigned char>(name[n])) && atoi(name + n) == d->unit_number;
}

// Bounded by the snapshot's own count: the device count may have changed
// between the two library calls, or the fetch may have failed.
static const devstat *find(const char *name)
{
    if (numdevs <= 0)
        return nullptr;
    for (int i = 0; i < holder.numdevs; i++)
        if (matches(&holder.devices[i], name))
            return &holder.devices[i];
    return nullptr;
}

// A cleared holder makes the library build the whole list anew.
static void refresh()
{
    numdevs = devstat_getnumdevs(nullptr);
    if (numdevs == -1)
        fatal("io: numdevs error");
    xfree(holder.mem_ptr);
    memset(&holder, 0, sizeof(holder));
    stats.dinfo = &holder;
    if (devstat_getdevs(nullptr, &stats) == -1) {
        holder.devices = nullptr;
        holder.numdevs = 0;
    }
}

void io_start(stream *s)
{
    if (s->argument == nullptr)
        fatal("io: need a <device>|<devicename> argument");
    char buffer[CANDIDATE_SIZE];
    diskname_iter it;
    diskname_init(&it, s->argument, buffer, sizeof(buffer));
    refresh();
    for (const char *candidate; (candidate = diskname_next(&it)) != nullptr;) {
        if (find(candidate) == nullptr)
            continue;
        if (strcmp(candidate, s->argument) != 0)
            info("started module io(%.200s = %.200s)", s->argument, candidate);
        else
            info("started module io(%.200s)", s->argument);
        return;
    }
    warning("io(%.200s): not found", s->argument);
}

void io_sample()
{
    refresh();
}

// Each device by the name streams give it (ada0, da1).
static void list_devices(discover_found *found, void *receiver, int disks_only)
{
    refresh();
    for (int i = 0; numdevs > 0 && i < holder.numdevs; i++) {
        const devstat *d = &holder.devices[i];
        if ((d->device_type & DEVSTAT_TYPE_PASS) ||
            (disks_only && (d->device_type & DEVSTAT_TYPE_MASK) != DEVSTAT_TYPE_DIRECT))
            continue;
        char name[DEVSTAT_NAME_LEN + 16];
        snprintf(name, sizeof(name), "%.*s%d",
                 static_cast<int>(strnlen(d->device_name, sizeof(d->device_name))), d->device_name,
                 d->unit_number);
        found(receiver, name);
    }
}

void io_discover(discover_found *found, void *receiver)
{
    list_devices(found, receiver, 0);
}

void disk_discover(discover_found *found, void *receiver)
{
    list_devices(found, receiver, 1);
}

int32_t io_pack(uint8_t *buffer, int32_t space, stream *s)
{
    const devstat *d = find(s->argument);
    if (d == nullptr)
        return 0;
    return pack_typed<STREAM_IO>(buffer, space, s->argument, d->operations[DEVSTAT_READ],
                                 d->operations[DEVSTAT_WRITE],
                                 0ULL, // seeks: not counted on this platform
                                 d->bytes[DEVSTAT_READ], d->bytes[DEVSTAT_WRITE]);
}
