// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <vm/vm_param.h>: the VM_TOTAL MIB and struct
// xswdev as the amd64 kernel returns it (32 bytes).
#pragma once

#include <stdint.h>

#define VM_TOTAL 1
#define XSWDEV_VERSION 2

struct xswdev {
    unsigned int xsw_version;
    uint64_t xsw_dev;
    int xsw_flags;
    int xsw_nblks; // size in pages
    int xsw_used;  // pages in use
};

static_assert(sizeof(struct xswdev) == 32, "struct xswdev is 32 bytes");
