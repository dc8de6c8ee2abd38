// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"
#include "standin.h"

enum { READ_ON = 0, WHOLE = 1, DIRECTORY = 2, FIXTURE = 4 };

struct kernel_file {
    const char *path;
    // WHOLE: the kernel builds the whole text for each read (so one read
    // of a large enough buffer is all of it); other files come a page of
    // records at a time and are read on to their end. DIRECTORY: kept for
    // opening files below it. FIXTURE: FreeBSD's record, which no Linux
    // file holds, looked for only below a test's fixture tree.
    int how;
};

static const kernel_file files[SF_COUNT] = {
    {"/proc/meminfo", WHOLE},
    {"/proc/swaps", READ_ON},
    {"/proc/loadavg", WHOLE},
    {"/proc/stat", WHOLE},
    {"/proc/net/dev", READ_ON},
    {"/proc/diskstats", READ_ON},
    // Read through a descriptor opened at start, it keeps describing the
    // mounts as this process saw them then, from the real root.
    {"/proc/self/mountinfo", READ_ON},
    {"/proc/spl/kstat/zfs/arcstats", WHOLE},
    // The sensors are found when the probe starts, after the chroot:
    // through this directory, opened before it.
    {"/sys/class", DIRECTORY},
    {"/sysctl/vm.zone_stats", FIXTURE},
    {"/sysctl/kern.ipc.sfstat", FIXTURE},
    {"/proc/filesystems", READ_ON},
};

static char root[PATH_MAX];
static int fds[SF_COUNT];
static unsigned generation;

unsigned standin_root_generation()
{
    return generation;
}

const char *standin_root()
{
    return root;
}

int standin_open_at_root(const char *path, int flags)
{
    char full[PATH_MAX];
    snprintf(full, sizeof(full), "%s%s", root, path);
    return standin_open_high(full, flags);
}

static void open_file(int i)
{
    if ((files[i].how & FIXTURE) && root[0] == '\0') {
        fds[i] = -1;
        errno = ENOENT;
    } else
        fds[i] = standin_open_at_root(files[i].path,
                                      O_RDONLY | (files[i].how & DIRECTORY ? O_DIRECTORY : 0));
}

int standin_fd(standin_file file)
{
    if (fds[file] < 0)
        open_file(file);
    return fds[file];
}

int standin_open_high(const char *path, int flags)
{
    return standin_openat_high(AT_FDCWD, path, flags);
}

int standin_openat_high(int dir, const char *path, int flags)
{
    int fd = openat(dir, path, flags | O_CLOEXEC);
    if (fd < 0 || fd > 2)
        return fd;
    // Keep clear of 0 to 2: daemon() points them at the null device.
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return high;
}

void standin_set_root(const char *dir)
{
    snprintf(root, sizeof(root), "%s", dir);
    generation++;
    for (int i = 0; i < SF_COUNT; i++) {
        if (fds[i] >= 0)
            close(fds[i]);
        open_file(i);
    }
}

// At process start, while the monitor still has its privileges and sees
// the whole file system; before other constructors, which may use them.
__attribute__((constructor(101))) static void open_at_start()
{
    for (int i = 0; i < SF_COUNT; i++)
        fds[i] = -1;
    standin_set_root("");
}

// FreeBSD's closefrom, sparing the stand-in's own descriptors: the monitor
// calls it first thing, after they were opened.
extern "C" void closefrom(int lowfd) noexcept
{
    int highest = lowfd - 1;
    for (int fd : fds)
        if (fd > highest)
            highest = fd;
    for (int fd = lowfd < 0 ? 0 : lowfd; fd <= highest; fd++)
        if (std::find(std::begin(fds), std::end(fds), fd) == std::end(fds))
            close(fd);
    close_range(static_cast<unsigned>(highest + 1), ~0U, 0);
}

int standin_read(standin_file file, char *buffer, size_t size)
{
    if (standin_fd(file) < 0)
        return -1;
    size_t total = 0;
    while (total + 1 < size) {
        ssize_t n = pread(fds[file], buffer + total, size - 1 - total, static_cast<off_t>(total));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
        if ((files[file].how & WHOLE) && total + 1 < size)
            break;
    }
    buffer[total] = '\0';
    return static_cast<int>(total);
}

int standin_read_all(standin_file file, char **buffer, size_t *size)
{
    for (;;) {
        if (*size < 2) {
            // Room for a few hundred lines before the first growth.
            char *first = static_cast<char *>(malloc(65536));
            if (first == nullptr)
                return standin_fail(ENOMEM);
            *buffer = first;
            *size = 65536;
        }
        int n = standin_read(file, *buffer, *size);
        if (n < 0 || static_cast<size_t>(n) + 1 < *size)
            return n;
        char *grown = static_cast<char *>(realloc(*buffer, *size * 2));
        if (grown == nullptr)
            return standin_fail(ENOMEM);
        *buffer = grown;
        *size *= 2;
    }
}
