// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <devstat.h>: the device statistics library's
// records, laid out as on FreeBSD amd64, and the calls the io probe makes.
#pragma once

#include <stddef.h>
#include <sys/devicestat.h>
#include <sys/resource.h>

#include <kvm.h>

struct devinfo {
    struct devstat *devices;
    u_int8_t *mem_ptr;
    long generation;
    int numdevs;
};

struct statinfo {
    long cp_time[5]; // CPUSTATES
    long tk_nin;
    long tk_nout;
    struct devinfo *dinfo;
    long double snap_time;
};

static_assert(sizeof(struct devinfo) == 32, "struct devinfo is 32 bytes");
static_assert(offsetof(struct devinfo, numdevs) == 24, "numdevs at 24");
static_assert(sizeof(struct statinfo) == 80, "struct statinfo is 80 bytes");
static_assert(offsetof(struct statinfo, dinfo) == 56, "dinfo at 56");
static_assert(offsetof(struct statinfo, snap_time) == 64, "snap_time at 64");

extern "C" {
// Devices the kernel keeps statistics for; kd is null for the running kernel.
int devstat_getnumdevs(kvm_t *kd);
// Fills stats->dinfo with every device: 1 when the list changed, 0 when
// not, -1 on failure.
int devstat_getdevs(kvm_t *kd, struct statinfo *stats);
}
