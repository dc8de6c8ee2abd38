// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/sysctl.h> on other systems: the MIB numbers
// and the two calls the probes use, answered from the running kernel (see
// docs/standin.md).
#pragma once

#include <stddef.h>
#include <sys/types.h>

#define CTL_MAXNAME 24

// A sysctl's kind, the low bits of what the format query gives.
#define CTLTYPE 0xf
#define CTLTYPE_NODE 1
#define CTLTYPE_INT 2
#define CTLTYPE_STRING 3
#define CTLTYPE_S64 4
#define CTLTYPE_OPAQUE 5
#define CTLTYPE_STRUCT CTLTYPE_OPAQUE
#define CTLTYPE_UINT 6
#define CTLTYPE_LONG 7
#define CTLTYPE_ULONG 8
#define CTLTYPE_U64 9
#define CTLTYPE_U8 0xa
#define CTLTYPE_U16 0xb
#define CTLTYPE_S8 0xc
#define CTLTYPE_S16 0xd
#define CTLTYPE_S32 0xe
#define CTLTYPE_U32 0xf
#define CTLFLAG_RD 0x80000000

// {CTL_SYSCTL, CTL_SYSCTL_OIDFMT, name...}: the kind (u_int) and the
// format text of a sysctl.
#define CTL_SYSCTL 0
#define CTL_SYSCTL_OIDFMT 4

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
