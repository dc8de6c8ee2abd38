// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// kern.cp_times from the cpuN lines of /proc/stat, and strtonum, which the
// cpu probe parses its argument with and glibc lacks.
#include <sys/types.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "standin.h"

enum {
    CPU_NUMBER_MAX = 65535,
    CPU_BYTES = CPUSTATES * sizeof(long),
};

static_assert(sizeof(long) == 8, "FreeBSD's amd64 tick counters are 64-bit longs");

static char *text;
static size_t text_size;

// The N of a "cpuN ..." line; -1 for the "cpu" total and every other line.
static long cpu_number(const char *line, const char **rest)
{
    if (strncmp(line, "cpu", 3) != 0 || line[3] < '0' || line[3] > '9')
        return -1;
    char *end;
    long n = strtol(line + 3, &end, 10);
    if (n > CPU_NUMBER_MAX || *end != ' ')
        return -1;
    *rest = end;
    return n;
}

// Linux's columns folded into FreeBSD's five states. Steal is left out:
// this kernel did not have the CPU then. Guest time is already in user.
static void cpu_states(const char *rest, long *states)
{
    unsigned long long c[7] = {};
    standin_numbers(rest, c, 7);
    unsigned long long user = c[0], nice = c[1], system = c[2], idle = c[3], iowait = c[4],
                       irq = c[5], softirq = c[6];
    states[CP_USER] = static_cast<long>(user);
    states[CP_NICE] = static_cast<long>(nice);
    states[CP_SYS] = static_cast<long>(system);
    states[CP_INTR] = static_cast<long>(irq + softirq);
    states[CP_IDLE] = static_cast<long>(idle + iowait);
}

int read_cp_times(const int *, u_int, void *oldp, size_t *oldlenp)
{
    if (standin_read_all(SF_STAT, &text, &text_size) < 0)
        return -1;
    const char *rest;
    long highest = -1;
    for (const char *line = text; line; line = standin_next_line(line))
        highest = std::max(highest, cpu_number(line, &rest));
    if (highest < 0)
        return standin_fail(ENOENT);
    size_t size = static_cast<size_t>(highest + 1) * CPU_BYTES;
    if (oldp == nullptr) {
        if (oldlenp)
            *oldlenp = size;
        return 0;
    }
    // As the kernel does, a short buffer gets what fits, then ENOMEM.
    size_t room = oldlenp ? std::min(*oldlenp, size) : 0;
    char *out = static_cast<char *>(oldp);
    // CPUs that are offline or absent keep their slots, as zeros.
    memset(out, 0, room);
    for (const char *line = text; line; line = standin_next_line(line)) {
        long cpu = cpu_number(line, &rest);
        if (cpu < 0 || static_cast<size_t>(cpu) * CPU_BYTES >= room)
            continue;
        size_t at = static_cast<size_t>(cpu) * CPU_BYTES;
        long states[CPUSTATES];
        cpu_states(rest, states);
        memcpy(out + at, states, std::min<size_t>(CPU_BYTES, room - at));
    }
    if (room < size)
        return standin_fail(ENOMEM);
    *oldlenp = size;
    return 0;
}

extern "C" long long strtonum(const char *numstr, long long minval, long long maxval,
                              const char **errstrp)
{
    int saved = errno, code = 0;
    const char *error = nullptr;
    long long value = 0;
    if (minval > maxval) {
        error = "invalid", code = EINVAL;
    } else {
        char *end;
        errno = 0;
        value = strtoll(numstr, &end, 10);
        if (end == numstr || *end != '\0')
            error = "invalid", code = EINVAL;
        else if ((value == LLONG_MIN && errno == ERANGE) || value < minval)
            error = "too small", code = ERANGE;
        else if ((value == LLONG_MAX && errno == ERANGE) || value > maxval)
            error = "too large", code = ERANGE;
    }
    if (errstrp)
        *errstrp = error;
    errno = error ? code : saved;
    return error ? 0 : value;
}

int standin_cpu_listed(long cpu)
{
    if (standin_read_all(SF_STAT, &text, &text_size) < 0)
        return 0;
    const char *rest;
    for (const char *line = text; line; line = standin_next_line(line))
        if (cpu_number(line, &rest) == cpu)
            return 1;
    return 0;
}
