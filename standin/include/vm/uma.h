// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <vm/uma.h>: the kernel allocator's statistics
// stream as the vm.zone_stats sysctl returns it on amd64: a header, then
// for each zone its record followed by one record per CPU.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define UMA_STREAM_VERSION 0x00000001
struct uma_stream_header {
    uint32_t ush_version;
    uint32_t ush_maxcpus; // per-CPU records after each zone's
    uint32_t ush_count;   // zones
    uint32_t _ush_pad;
};

#define UTH_MAX_NAME 32
#define UTH_ZONE_SECONDARY 0x00000001 // shares its keg with a primary zone
struct uma_type_header {
    char uth_name[UTH_MAX_NAME];
    uint32_t uth_align;
    uint32_t uth_size;
    uint32_t uth_rsize;
    uint32_t uth_maxpages;
    uint32_t uth_limit; // items the zone may hold
    uint32_t uth_pages;
    uint32_t uth_keg_free;
    uint32_t uth_zone_free;
    uint32_t uth_bucketsize;
    uint32_t uth_zone_flags;
    uint64_t uth_allocs;
    uint64_t uth_frees;
    uint64_t uth_fails;
    uint64_t uth_sleeps;
    uint64_t uth_xdomain;
    uint64_t _uth_reserved1[1];
};

struct uma_percpu_stat {
    uint64_t ups_allocs;
    uint64_t ups_frees;
    uint64_t ups_cache_free;
    uint64_t _ups_reserved[5];
};

static_assert(sizeof(struct uma_stream_header) == 16, "struct uma_stream_header is 16 bytes");
static_assert(sizeof(struct uma_type_header) == 120, "struct uma_type_header is 120 bytes");
static_assert(offsetof(struct uma_type_header, uth_limit) == 48, "uth_limit at 48");
static_assert(offsetof(struct uma_type_header, uth_keg_free) == 56, "uth_keg_free at 56");
static_assert(offsetof(struct uma_type_header, uth_zone_flags) == 68, "uth_zone_flags at 68");
static_assert(offsetof(struct uma_type_header, uth_allocs) == 72, "uth_allocs at 72");
static_assert(offsetof(struct uma_type_header, uth_sleeps) == 96, "uth_sleeps at 96");
static_assert(sizeof(struct uma_percpu_stat) == 64, "struct uma_percpu_stat is 64 bytes");
