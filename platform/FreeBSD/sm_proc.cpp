// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The process probe: for all processes whose command name begins with the
// stream's argument (or, for "=NAME", is NAME), their number, CPU ticks and seconds, CPU percentage and
// memory sizes. One snapshot of the process table per tick serves every
// proc stream; the tick counters come from each process's kernel structure.
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <sys/user.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <kvm.h>
#include <limits.h>
#include <unistd.h>

#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"
#include "xmalloc.h"

// The line numbers these checks have always been reported with.
enum { LINE_MAXPROC = 87, LINE_LIMIT = 96, LINE_CLOCKRATE = 144 };

enum {
    PROC_LIMIT = 10000,
    READ_ATTEMPTS = 4,
    // The kernel's process structure, and its rusage tick counters.
    PROC_IMAGE_SIZE = 1376,
    UTICKS_OFFSET = 720,
    STICKS_OFFSET = 728,
    ITICKS_OFFSET = 736,
};

static kvm_t *kernel;
static int stathz;
static unsigned shift;
static int capacity;
static kinfo_proc *procs;
static int nprocs;

void proc_prepare()
{
    char errbuf[_POSIX2_LINE_MAX] = "";
    // Once per process life; a second call replaces the handle.
    if (kernel != nullptr)
        kvm_close(kernel);
    kernel = kvm_openfiles(nullptr, nullptr, nullptr, O_RDONLY, errbuf);
    if (kernel == nullptr)
        warning("while opening kvm (chrooted?): %.200s", errbuf);
}

void proc_start(stream *s)
{
    int mib[2] = {CTL_KERN, KERN_CLOCKRATE};
    clockinfo rates;
    size_t length = sizeof(rates);
    if (sysctl(mib, 2, &rates, &length, nullptr, 0) != 0)
        fatal("%s:%d: could not get clockrate", __FILE__, LINE_CLOCKRATE);
    stathz = rates.stathz;
    shift = page_shift(sysconf(_SC_PAGESIZE));
    info("started module proc(%.200s)", s->argument);
}

// Room for count processes and a quarter more, within the kernel's limit.
static void grow(size_t count, int limit)
{
    if (count > PROC_LIMIT)
        fatal("%s:%d: dynamic object limit (%d) exceeded for kinfo_proc structures", __FILE__,
              LINE_LIMIT, PROC_LIMIT);
    int want = static_cast<int>(count + count / 4);
    if (want > limit && limit >= static_cast<int>(count))
        want = limit;
    if (want <= capacity)
        return;
    procs = static_cast<kinfo_proc *>(xrealloc(procs, want * sizeof(kinfo_proc)));
    capacity = want;
}

// The process table into the snapshot, sized from what the kernel reports
// and grown when the table outgrows it; its length in bytes, or -1.
static long read_table(int limit)
{
    int all[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    for (int attempt = 0; attempt < READ_ATTEMPTS; attempt++) {
        if (capacity > 0) {
            size_t length = capacity * sizeof(kinfo_proc);
            if (sysctl(all, 3, procs, &length, nullptr, 0) == 0)
                return static_cast<long>(length);
            if (errno != ENOMEM)
                return -1;
        }
        size_t needed = 0;
        if (sysctl(all, 3, nullptr, &needed, nullptr, 0) != 0)
            return -1;
        size_t count = (needed + sizeof(kinfo_proc) - 1) / sizeof(kinfo_proc);
        size_t room = static_cast<size_t>(capacity);
        // More than the length query said: room for at least one more.
        grow(count > room ? count : room + 1, limit);
    }
    return -1;
}

void proc_sample()
{
    int mib[2] = {CTL_KERN, KERN_MAXPROC};
    int limit;
    size_t length = sizeof(limit);
    if (sysctl(mib, 2, &limit, &length, nullptr, 0) != 0)
        fatal("%s:%d: sysctl failed: can't get kern.nproc", __FILE__, LINE_MAXPROC);
    nprocs = 0;
    long got = read_table(limit);
    if (got < 0)
        warning("proc probe cannot get processes");
    else if (got % sizeof(kinfo_proc) != 0)
        warning("proc size mismatch: got %d bytes, not dividable by sizeof(kinfo_proc) %d",
                static_cast<int>(got), static_cast<int>(sizeof(kinfo_proc)));
    else
        nprocs = static_cast<int>(got / sizeof(kinfo_proc));
}

// Adds a page count, in bytes, to a 32-bit sum that stops at its largest
// value rather than wrapping.
static uint32_t add_pages(uint32_t sum, int64_t pages)
{
    if (pages <= 0)
        return sum;
    uint64_t room = UINT32_MAX - sum;
    if (static_cast<uint64_t>(pages) > (room >> shift))
        return UINT32_MAX;
    return sum + static_cast<uint32_t>(static_cast<uint64_t>(pages) << shift);
}

// Adds the process's user, system and interrupt ticks from its kernel
// structure; a process that has gone since the snapshot adds nothing.
static void add_ticks(const kinfo_proc *p, uint64_t sums[3])
{
    unsigned char image[PROC_IMAGE_SIZE];
    unsigned long address = reinterpret_cast<unsigned long>(p->ki_paddr);
    if (kvm_read(kernel, address, image, sizeof(image)) != PROC_IMAGE_SIZE) {
        warning("while reading kvm: %.200s", kvm_geterr(kernel));
        return;
    }
    const int offsets[3] = {UTICKS_OFFSET, STICKS_OFFSET, ITICKS_OFFSET};
    for (int i = 0; i < 3; i++) {
        uint64_t ticks;
        memcpy(&ticks, image + offsets[i], sizeof(ticks));
        sums[i] += ticks;
    }
}

int32_t proc_pack(uint8_t *buffer, int32_t space, stream *s)
{
    uint32_t count = 0, size = 0, resident = 0;
    uint64_t ticks[3] = {0, 0, 0}; // user, system, interrupt
    double percent = 0;
    // proc(colvo) also counts colvo-top; proc(=colvo) counts colvo alone.
    int exact = s->argument[0] == '=';
    const char *name = s->argument + exact;
    size_t length = strlen(name) + exact;
    for (int i = 0; i < nprocs; i++) {
        const kinfo_proc *p = &procs[i];
        if (strncmp(p->ki_comm, name, length) != 0)
            continue;
        if (kernel != nullptr)
            add_ticks(p, ticks);
        percent += p->ki_pctcpu * 0.00048828125 * 100;
        size = add_pages(size, p->ki_tsize + p->ki_dsize + p->ki_ssize);
        resident = add_pages(resident, p->ki_rssize);
        count++;
    }
    // A clock rate of 0 would divide by zero: no seconds then. Like the
    // sizes, the seconds stop at the largest value their field carries.
    uint64_t total = ticks[0] + ticks[1] + ticks[2];
    uint64_t seconds = stathz > 0 ? total / static_cast<uint64_t>(stathz) : 0;
    if (seconds > UINT32_MAX)
        seconds = UINT32_MAX;
    return pack_typed<STREAM_PROC>(buffer, space, s->argument, count, ticks[0], ticks[1],
                                   ticks[2], static_cast<uint32_t>(seconds), percent, size,
                                   resident);
}
