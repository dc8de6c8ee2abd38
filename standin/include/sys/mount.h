// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/mount.h>: struct statfs as FreeBSD's amd64
// kernel lays it out (2344 bytes), getmntinfo, and getvfsbyname with the
// flags that tell what a file system type is. It replaces the C
// library's <sys/mount.h> (Linux mount flags, which nothing here uses)
// instead of extending it, and its struct statfs bears FreeBSD's name: a
// translation unit that also pulls in the C library's struct statfs
// (<sys/statfs.h>, <sys/vfs.h>) fails to compile instead of mixing the two.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#define MFSNAMELEN 16
#define MNAMELEN 1024
#define STATFS_VERSION 0x20140518
#define MNT_WAIT 1
#define MNT_NOWAIT 2
#define MNT_IGNORE 0x0000000000800000ULL // not shown by df

#define VFCF_NETWORK 0x00020000   // may get data over the network
#define VFCF_SYNTHETIC 0x00080000 // data does not represent real files
#define VFCF_LOOPBACK 0x00100000  // aliases some other mounted file system

// FreeBSD's fsid_t; the C library has a type of that name already.
struct fsid {
    int32_t val[2];
};

struct statfs {
    uint32_t f_version;
    uint32_t f_type;
    uint64_t f_flags;
    uint64_t f_bsize;
    uint64_t f_iosize;
    uint64_t f_blocks;
    uint64_t f_bfree;
    int64_t f_bavail;
    uint64_t f_files;
    int64_t f_ffree;
    uint64_t f_syncwrites;
    uint64_t f_asyncwrites;
    uint64_t f_syncreads;
    uint64_t f_asyncreads;
    uint32_t f_nvnodelistsize;
    uint32_t f_spare0;
    uint64_t f_spare[9];
    uint32_t f_namemax;
    uid_t f_owner;
    struct fsid f_fsid;
    char f_charspare[80];
    char f_fstypename[MFSNAMELEN];
    char f_mntfromname[MNAMELEN];
    char f_mntonname[MNAMELEN];
};

static_assert(sizeof(struct statfs) == 2344, "struct statfs is 2344 bytes");
static_assert(offsetof(struct statfs, f_bsize) == 16, "f_bsize at 16");
static_assert(offsetof(struct statfs, f_blocks) == 32, "f_blocks at 32");
static_assert(offsetof(struct statfs, f_bavail) == 48, "f_bavail at 48");
static_assert(offsetof(struct statfs, f_ffree) == 64, "f_ffree at 64");
static_assert(offsetof(struct statfs, f_asyncwrites) == 80, "f_asyncwrites at 80");
static_assert(offsetof(struct statfs, f_fsid) == 192, "f_fsid at 192");
static_assert(offsetof(struct statfs, f_fstypename) == 280, "f_fstypename at 280");
static_assert(offsetof(struct statfs, f_mntfromname) == 296, "f_mntfromname at 296");
static_assert(offsetof(struct statfs, f_mntonname) == 1320, "f_mntonname at 1320");

// The mounted file systems, in an array the library owns and keeps until
// the next call; their number, or 0 on failure.
extern "C" int getmntinfo(struct statfs **mntbufp, int mode);

struct vfsops;
struct vfsconf;

// What the kernel says of one file system type.
struct xvfsconf {
    struct vfsops *vfc_vfsops;
    char vfc_name[MFSNAMELEN];
    int vfc_typenum;
    int vfc_refcount;
    int vfc_flags;
    struct vfsconf *vfc_next;
};

static_assert(sizeof(struct xvfsconf) == 48, "struct xvfsconf is 48 bytes");
static_assert(offsetof(struct xvfsconf, vfc_flags) == 32, "vfc_flags at 32");

// The type of that name: 0, or -1 with errno ENOENT when the kernel has none.
extern "C" int getvfsbyname(const char *name, struct xvfsconf *vfc);
