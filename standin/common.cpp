// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What the stand-in's files share that calls nothing of theirs: results
// handed over as FreeBSD's sysctl does, failures as errno, and the marks
// that tell whether a shared read is a moment old.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "internal.h"

int standin_deliver(const void *value, size_t size, void *oldp, size_t *oldlenp)
{
    if (oldp == nullptr) {
        if (oldlenp)
            *oldlenp = size;
        return 0;
    }
    if (oldlenp == nullptr || *oldlenp < size) {
        if (oldlenp && oldp) {
            memcpy(oldp, value, *oldlenp);
        }
        errno = ENOMEM;
        return -1;
    }
    memcpy(oldp, value, size);
    *oldlenp = size;
    return 0;
}

int standin_fail(int error)
{
    errno = error;
    return -1;
}

enum { RECENT_NS = 500 * 1000 * 1000 };

void standin_mark(timespec *when)
{
    clock_gettime(CLOCK_MONOTONIC, when);
}

int standin_recent(const timespec *when)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long age = (now.tv_sec - when->tv_sec) * 1000000000LL + (now.tv_nsec - when->tv_nsec);
    return age >= 0 && age < RECENT_NS;
}
