// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/devicestat.h>: struct devstat as FreeBSD's
// amd64 kernel lays it out (288 bytes) and the transaction kinds that index
// its counters. Fields the io probe does not read are kept as padding of
// their FreeBSD size.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/queue.h>
#include <sys/types.h>

#define DEVSTAT_NAME_LEN 16
#define DEVSTAT_N_TRANS_FLAGS 4

typedef enum {
    DEVSTAT_NO_DATA = 0x00,
    DEVSTAT_READ = 0x01,
    DEVSTAT_WRITE = 0x02,
    DEVSTAT_FREE = 0x03
} devstat_trans_flags;

typedef enum {
    DEVSTAT_TYPE_DIRECT = 0x000,
    DEVSTAT_TYPE_CDROM = 0x005,
    DEVSTAT_TYPE_MASK = 0x00f,
    DEVSTAT_TYPE_PASS = 0x100
} devstat_type_flags;

enum { DEVSTAT_BINTIME_SIZE = 16 }; // struct bintime: time_t sec, uint64_t frac

struct devstat {
    u_int sequence0;
    int allocated;
    u_int start_count;
    u_int end_count;
    uint8_t busy_from[DEVSTAT_BINTIME_SIZE];
    STAILQ_ENTRY(devstat) dev_links;
    u_int32_t device_number;
    char device_name[DEVSTAT_NAME_LEN];
    int unit_number;
    u_int64_t bytes[DEVSTAT_N_TRANS_FLAGS];
    u_int64_t operations[DEVSTAT_N_TRANS_FLAGS];
    uint8_t duration[DEVSTAT_N_TRANS_FLAGS][DEVSTAT_BINTIME_SIZE];
    uint8_t busy_time[DEVSTAT_BINTIME_SIZE];
    uint8_t creation_time[DEVSTAT_BINTIME_SIZE];
    u_int32_t block_size;
    u_int64_t tag_types[3];
    int flags;       // devstat_support_flags
    int device_type; // devstat_type_flags
    int priority;    // devstat_priority
    const void *id;
    u_int sequence1;
};

static_assert(sizeof(struct devstat) == 288, "struct devstat is 288 bytes");
static_assert(offsetof(struct devstat, device_number) == 40, "device_number at 40");
static_assert(offsetof(struct devstat, device_name) == 44, "device_name at 44");
static_assert(offsetof(struct devstat, unit_number) == 60, "unit_number at 60");
static_assert(offsetof(struct devstat, bytes) == 64, "bytes at 64");
static_assert(offsetof(struct devstat, operations) == 96, "operations at 96");
static_assert(offsetof(struct devstat, block_size) == 224, "block_size at 224");
static_assert(offsetof(struct devstat, id) == 272, "id at 272");
