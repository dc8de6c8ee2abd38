// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The stand-in's own knobs, for tests only: the daemons never call these.
// The stand-in reads kernel figures from files below a root directory
// ("/" unless a test points it at a fixture tree). Each file is opened once,
// before the monitor drops its privileges, and read again with pread, so it
// keeps working inside the chroot.
#pragma once

#include <cstddef>

enum standin_file {
    SF_MEMINFO,
    SF_SWAPS,
    SF_LOADAVG,
    SF_STAT,       // kern.cp_times
    SF_NETDEV,     // the interface MIB
    SF_DISKSTATS,  // libdevstat
    SF_MOUNTINFO,  // getmntinfo
    SF_ARCSTATS,   // kstat.zfs.misc.arcstats (OpenZFS on Linux)
    SF_CLASSES,    // the directory of the temperature sensors' classes
    SF_ZONE_STATS, // vm.zone_stats: only in a fixture tree
    SF_SFSTAT,     // kern.ipc.sfstat: only in a fixture tree
    SF_FILESYSTEMS, // getvfsbyname
    SF_COUNT,
};

// Closes every file and opens them again below dir ("" for the real root).
// A fixture tree may also hold what Linux has no source for, as FreeBSD's
// records: sysctl/vm.zone_stats, sysctl/kern.ipc.sfstat and dev/pf (the
// packet filter's status).
void standin_set_root(const char *dir);
// The whole file, NUL-terminated; its length, or -1 with errno set.
int standin_read(standin_file file, char *buffer, size_t size);

// The process table as another kernel would report it: its statistics
// clock rate and the size of each record; 0 keeps this kernel's.
void standin_set_proc_kernel(int stathz, size_t record_size);

// Figures of one mounted file system, as getmntinfo reports them.
struct standin_fs_figures {
    unsigned long long bsize, blocks, bfree;
    long long bavail;
    unsigned long long files;
    long long ffree;
};
// Figures per mount point in place of the real file systems', for block
// sizes and counts no real one has; 0 leaves the mount out. Null restores.
typedef int standin_fs_reader(const char *mount_point, standin_fs_figures *figures);
void standin_set_fs_reader(standin_fs_reader *reader);

// A packet filter for tests, whose ALTQ entries answer the three ALTQ
// requests on any descriptor. Null: none, as on Linux.
struct standin_altq {
    const char *ifname;
    const char *qname;
    unsigned char scheduler;
    unsigned qid;      // 0: the interface's own entry
    const void *stats; // the scheduler's statistics record
    size_t stats_size;
};
struct standin_pf {
    const standin_altq *entries;
    unsigned count;
    unsigned long failing; // a request refused with EIO; 0 for none
};
void standin_set_pf(const standin_pf *pf);

// Disks for tests: a descriptor open on one of these files answers the
// SCSI generic requests itself, with the file's first 512 bytes as SMART
// data. Null restores the kernel's.
struct standin_disk {
    const char *path;
    int cam;             // opens as a CAM device, else only as a plain node
    unsigned char error; // ATA error register to answer with; 0: success
    int commands;        // SMART READ DATA commands answered
};
void standin_set_disks(standin_disk *disks, int count);
