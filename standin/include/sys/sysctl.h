// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/sysctl.h> on other systems: the MIB numbers
// and the two calls the probes use, answered from the running kernel (see
// docs/standin.md).
#pragma once

#include <stddef.h>
#include <sys/types.h>

#define CTL_MAXNAME 24

#define CTL_UNSPEC 0
#define CTL_KERN 1
#define CTL_VM 2
#define CTL_VFS 3
#define CTL_NET 4
#define CTL_DEBUG 5
#define CTL_HW 6
#define CTL_MACHDEP 7
#define CTL_USER 8

#define KERN_MAXPROC 6
#define KERN_CLOCKRATE 12
#define KERN_PROC 14
#define KERN_PROC_ALL 0

#define HW_PHYSMEM 5

extern "C" {
int sysctl(const int *name, u_int namelen, void *oldp, size_t *oldlenp, const void *newp,
           size_t newlen);
int sysctlnametomib(const char *name, int *mibp, size_t *sizep);
}
