// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/time.h>: the system's own header, plus
// struct clockinfo as kern.clockrate returns it (20 bytes).
#pragma once

#include_next <sys/time.h>

#include <stddef.h>

struct clockinfo {
    int hz;     // clock frequency
    int tick;   // microseconds per hz tick
    int spare;
    int stathz; // statistics clock frequency
    int profhz; // profiling clock frequency
};

static_assert(sizeof(struct clockinfo) == 20, "struct clockinfo is 20 bytes");
static_assert(offsetof(struct clockinfo, stathz) == 12, "stathz at 12");
