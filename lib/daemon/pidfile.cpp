// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Pid files locked with flock(): the lock belongs to the open file, so the
// child of daemon() keeps it after the parent exits, and it vanishes with
// the last instance's descriptor however that instance ends.
#include "pidfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.h"
#include "unique_fd.h"

enum { PID_TEXT = 32 };

// The pid the holder wrote: digits and an optional newline, else 0 (not
// written yet, or not a pid file).
static long holder_pid(int fd)
{
    char text[PID_TEXT];
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end = nullptr;
    errno = 0;
    long pid = strtol(text, &end, 10);
    if (errno != 0 || end == text || text[0] < '0' || text[0] > '9' || pid <= 0 ||
        (*end != '\0' && (end[0] != '\n' || end[1] != '\0')))
        return 0;
    return pid;
}

int pidfile_lock(pidfile *pf, const char *path)
{
    pf->fd = -1;
    pf->path = path;
    unique_fd file(open(path, O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644));
    if (file.fd < 0)
        return 0;
    // daemon() points 0 to 2 at the null device: the lock must not be there.
    if (file.fd <= STDERR_FILENO) {
        unique_fd high(fcntl(file.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        if (high.fd < 0)
            return 0;
        close(file.release());
        file.fd = high.release();
    }
    if (flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return 0;
        long holder = holder_pid(file.fd);
        if (holder > 0)
            fatal("already running, pid %ld: %.200s is locked", holder, path);
        fatal("already running: %.200s is locked", path);
    }
    // Ours now: no stale pid stays readable until ours is written.
    if (ftruncate(file.fd, 0) != 0) {
    }
    pf->fd = file.release();
    return 1;
}

int pidfile_write(pidfile *pf)
{
    if (pf->fd < 0)
        return 0;
    char text[PID_TEXT];
    int n = snprintf(text, sizeof(text), "%u\n", static_cast<unsigned>(getpid()));
    return ftruncate(pf->fd, 0) == 0 && pwrite(pf->fd, text, static_cast<size_t>(n), 0) == n;
}

void pidfile_remove(pidfile *pf)
{
    if (pf->fd < 0)
        return;
    struct stat ours, named;
    int same = fstat(pf->fd, &ours) == 0 && lstat(pf->path, &named) == 0 &&
               ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
    if (!same || unlink(pf->path) != 0) {
        // No stale pid left behind for anyone to signal.
        if (ftruncate(pf->fd, 0) != 0) {
        }
    }
    close(pf->fd);
    pf->fd = -1;
}
