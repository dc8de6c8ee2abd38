// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <net/if_mib.h>: the interface MIB's numbers and
// struct ifmibdata as FreeBSD's amd64 kernel returns it (208 bytes).
#pragma once

#include <stddef.h>
#include <net/if.h>

#ifndef PF_LINK
#define AF_LINK 18 // FreeBSD's link-level family, home of the interface MIB
#define PF_LINK AF_LINK
#endif

#define NETLINK_GENERIC 0

#define IFMIB_SYSTEM 1
#define IFMIB_IFDATA 2
#define IFMIB_IFCOUNT 1

#define IFDATA_GENERAL 1

struct ifmibdata {
    char ifmd_name[16];
    int ifmd_pcount;
    int ifmd_flags;
    int ifmd_snd_len;
    int ifmd_snd_maxlen;
    int ifmd_snd_drops;
    int ifmd_filler[4];
    struct if_data ifmd_data;
};

static_assert(sizeof(struct ifmibdata) == 208, "struct ifmibdata is 208 bytes");
static_assert(offsetof(struct ifmibdata, ifmd_data) == 56, "ifmd_data at 56");
