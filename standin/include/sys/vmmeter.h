// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/vmmeter.h>: struct vmtotal as the amd64
// kernel returns it (88 bytes).
#pragma once

#include <stdint.h>

struct vmtotal {
    int16_t t_rq;     // length of the run queue
    int16_t t_dw;     // jobs in disk wait
    int16_t t_pw;     // jobs in page wait
    int16_t t_sl;     // jobs sleeping in core
    int16_t t_sw;     // swapped out runnable jobs
    int16_t t_pad[3];
    uint64_t t_vm;     // total virtual memory
    uint64_t t_avm;    // active virtual memory
    uint64_t t_rm;     // total real memory in use
    uint64_t t_arm;    // active real memory
    uint64_t t_vmshr;  // shared virtual memory
    uint64_t t_avmshr; // active shared virtual memory
    uint64_t t_rmshr;  // shared real memory
    uint64_t t_armshr; // active shared real memory
    uint64_t t_free;   // free memory pages
};

static_assert(sizeof(struct vmtotal) == 88, "struct vmtotal is 88 bytes");
