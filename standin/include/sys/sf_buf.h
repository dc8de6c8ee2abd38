// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/sf_buf.h>: sendfile's counters as the
// kern.ipc.sfstat sysctl returns them (88 bytes).
#pragma once

#include <stdint.h>

struct sfstat {
    uint64_t sf_syscalls;   // sendfile calls
    uint64_t sf_noiocnt;    // calls that needed no disk I/O
    uint64_t sf_iocnt;      // calls that read from disk
    uint64_t sf_pages_read; // pages read for them
    uint64_t sf_pages_valid;
    uint64_t sf_rhpages_requested;
    uint64_t sf_rhpages_read;
    uint64_t sf_busy;
    uint64_t sf_allocfail;
    uint64_t sf_allocwait;
    uint64_t sf_pages_bogus;
};

#include <stddef.h>

static_assert(sizeof(struct sfstat) == 88, "struct sfstat is 88 bytes");
static_assert(offsetof(struct sfstat, sf_iocnt) == 16, "sf_iocnt at 16");
static_assert(offsetof(struct sfstat, sf_pages_read) == 24, "sf_pages_read at 24");
