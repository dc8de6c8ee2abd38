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
    SF_COUNT,
};

// Closes every file and opens them again below dir ("" for the real root).
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
