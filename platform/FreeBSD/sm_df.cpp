// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The df probe: size, free space and inode use of one mounted file system,
// picked by its mount source, or else by its mount point, from the list of
// mounted file systems fetched once per tick. Block counts travel in units
// of 512 bytes. df(*) finds the file systems that hold files of their own,
// by mount point.
#include <sys/param.h>
#include <sys/ucred.h>
#include <sys/mount.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "diskname.h"
#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"

static struct statfs *mounts;
static int count;

// At start the list alone matters, and no file system is waited for. A
// measurement asks each file system anew: the figures MNT_NOWAIT gives are
// those the kernel took at mount time, which statfs(2) does not renew.
static void fetch(int mode)
{
    count = getmntinfo(&mounts, mode);
    if (count <= 0) {
        count = 0;
        warning("df failed");
    }
}

// Compared on the first 64 characters; an empty source names nothing.
static const struct statfs *find(const char *source)
{
    if (source[0] == '\0')
        return nullptr;
    for (int i = 0; i < count; i++)
        if (strncmp(mounts[i].f_mntfromname, source, DF_SOURCE_SIZE) == 0)
            return &mounts[i];
    return nullptr;
}

// The first file system mounted on point, compared whole.
static const struct statfs *find_mounted_on(const char *point)
{
    for (int i = 0; i < count; i++)
        if (strcmp(mounts[i].f_mntonname, point) == 0)
            return &mounts[i];
    return nullptr;
}

// A mount point is looked up afresh at every tick: whatever is mounted
// there now is what its stream reports.
static const struct statfs *find_stream(stream *s)
{
    const df_probe_state &state = stream_probe_state(s)->df;
    return state.on_mount_point ? find_mounted_on(s->argument) : find(state.mount_source);
}

// A count of blocks of bsize bytes in 512-byte units.
static uint64_t sectors(uint64_t blocks, uint64_t bsize)
{
    if (bsize >= 1 && bsize < 512)
        return blocks / (512 / bsize);
    return blocks * (bsize / 512);
}

// A file system filled into its reserve reports negative counts for
// unprivileged users: nothing is available to them.
static uint64_t at_least_zero(int64_t n)
{
    return n < 0 ? 0 : static_cast<uint64_t>(n);
}

void df_start(stream *s)
{
    if (s->argument == nullptr)
        fatal("df: need a <disk device|name> argument");
    df_probe_state &state = stream_probe_state(s)->df;
    char *source = state.mount_source;
    source[0] = '\0';
    state.on_mount_point = 0;
    char buffer[DF_SOURCE_SIZE];
    diskname_iter it;
    diskname_init(&it, s->argument, buffer, sizeof(buffer));
    fetch(MNT_NOWAIT);
    for (const char *candidate; (candidate = diskname_next(&it)) != nullptr;) {
        if (find(candidate) == nullptr)
            continue;
        snprintf(source, DF_SOURCE_SIZE, "%s", candidate);
        info("started module df(%.200s)", s->argument);
        return;
    }
    // Only where no source matches, so df(/dev/ada0p2) and the like keep
    // their file system.
    if (find_mounted_on(s->argument) != nullptr) {
        state.on_mount_point = 1;
        info("started module df(%.200s)", s->argument);
        return;
    }
    warning("df(%.200s) failed (no such device)", s->argument);
}

// Kernel views (devfs, procfs), other mounts' aliases (nullfs) and memory
// (tmpfs, named when wanted) hold no space worth watching; the flags of a
// type tell most, the names the rest.
static int pseudo(const struct statfs *f)
{
    static const char *const NAMES[] = {"devfs", "fdescfs", "procfs", "linprocfs", "linsysfs",
                                        "nullfs", "tmpfs", "mqueuefs", "autofs"};
    if (f->f_flags & MNT_IGNORE)
        return 1;
    for (const char *name : NAMES)
        if (strcmp(f->f_fstypename, name) == 0)
            return 1;
    struct xvfsconf type;
    return getvfsbyname(f->f_fstypename, &type) == 0 &&
           (type.vfc_flags & (VFCF_SYNTHETIC | VFCF_LOOPBACK)) != 0;
}

void df_discover(discover_found *found, void *receiver)
{
    fetch(MNT_NOWAIT);
    for (int i = 0; i < count; i++) {
        if (pseudo(&mounts[i]))
            continue;
        // A file system mounted twice is found once, where first mounted.
        // (Its id is 0 where the caller may not see it: FreeBSD hides it
        // from unprivileged processes.)
        const int32_t *id = mounts[i].f_fsid.val;
        int again = 0;
        for (int j = 0; j < i && !again && (id[0] || id[1]); j++)
            again = memcmp(&mounts[j].f_fsid, &mounts[i].f_fsid, sizeof(mounts[i].f_fsid)) == 0 &&
                    !pseudo(&mounts[j]);
        if (!again)
            found(receiver, mounts[i].f_mntonname);
    }
}

void df_sample()
{
    fetch(MNT_WAIT);
}

int32_t df_pack(uint8_t *buffer, int32_t space, stream *s)
{
    const struct statfs *f = find_stream(s);
    if (f == nullptr) {
        warning("df(%.200s) failed (no such device)", s->argument);
        return 0;
    }
    return pack_typed<STREAM_DF>(buffer, space, s->argument, sectors(f->f_blocks, f->f_bsize),
                                 sectors(f->f_bfree, f->f_bsize),
                                 sectors(at_least_zero(f->f_bavail), f->f_bsize), f->f_files,
                                 at_least_zero(f->f_ffree), f->f_syncwrites, f->f_asyncwrites);
}
