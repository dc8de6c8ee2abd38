// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The cpu probe: for one CPU, how the time since the previous measurement
// was shared among the kernel's five CPU states. All CPUs' tick counters
// are read once per measurement; each stream keeps its CPU's previous
// counters and sends per-mille shares as percentages. cpu(*) finds every
// CPU the kernel counts time for.
#include <sys/types.h>
#include <sys/resource.h>
#include <sys/sysctl.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "error.h"
#include "pack.h"
#include "probes.h"
#include "types.h"
#include "xmalloc.h"

// The line number this check has always been reported with.
enum { LINE_SYSCTL = 107 };

enum {
    CPU_MAX = 255, // the stream keeps its CPU number in 8 bits
    PRIME_SCRATCH = 2048,
    CPU_BYTES = CPUSTATES * sizeof(long), // one CPU's counters in kern.cp_times
};

static_assert(CPUSTATES == CPU_STATE_COUNT, "one stream counter per CPU state");

static int cp_times_mib[CTL_MAXNAME];
static u_int cp_times_components; // 0 until the first cpu stream resolves it
static long *counters;            // all CPUs, CPU 0 first
static size_t counters_size;      // bytes allocated
static size_t counters_length;    // bytes of the last read

// The kernel's answer to a length query: the bytes of all CPUs' counters.
static int cp_times_size(size_t *size)
{
    *size = 0;
    return sysctl(cp_times_mib, cp_times_components, nullptr, size, nullptr, 0);
}

static void grow(size_t size)
{
    if (size < CPU_BYTES)
        size = CPU_BYTES;
    if (size <= counters_size)
        return;
    counters = static_cast<long *>(xrealloc(counters, size));
    counters_size = size;
}

// On a failed read the previous counters stay (a too-small buffer may take
// some fresh ones); the shares then come out 0.
static void read_counters()
{
    size_t length = counters_size;
    int result = sysctl(cp_times_mib, cp_times_components, counters, &length, nullptr, 0);
    size_t size;
    if (result != 0 && errno == ENOMEM && cp_times_size(&size) == 0 && size > counters_size) {
        grow(size);
        length = counters_size;
        result = sysctl(cp_times_mib, cp_times_components, counters, &length, nullptr, 0);
    }
    if (result != 0) {
        warning("%s:%d: sysctl failed", __FILE__, LINE_SYSCTL);
        return;
    }
    counters_length = length;
}

static void setup(const char *argument)
{
    size_t components = CTL_MAXNAME;
    if (sysctlnametomib("kern.cp_times", cp_times_mib, &components) != 0) {
        warning("sysctlnametomib for cpu failed");
        components = 0;
    }
    cp_times_components = static_cast<u_int>(components);
    size_t size;
    if (cp_times_size(&size) != 0)
        fatal("cpu(%.200s): failed to determine sysctl buffer len", argument);
    grow(size);
    read_counters();
}

void cpu_start(stream *s)
{
    if (cp_times_components == 0)
        setup(s->argument);
    const char *error = nullptr;
    long long cpu = strtonum(s->argument, 0, CPU_MAX, &error);
    if (error != nullptr)
        fatal("cpu(%.200s) is invalid: %.200s", s->argument, error);
    stream_probe_state(s)->cpu.index = static_cast<uint8_t>(cpu);
    // Keep the present counters, so the first packet covers the first
    // interval and not the time since boot.
    uint8_t scratch[PRIME_SCRATCH];
    cpu_pack(scratch, sizeof(scratch), s);
    info("started module cpu(%.200s)", s->argument);
}

void cpu_sample()
{
    read_counters();
}

void cpu_discover(discover_found *found, void *receiver)
{
    if (cp_times_components == 0)
        setup("*");
    read_counters();
    size_t cpus = counters_length / CPU_BYTES;
    for (size_t i = 0; i < cpus && i <= CPU_MAX; i++) {
        // An absent CPU keeps its place in the array, all its counters 0.
        const long *cpu = counters + i * CPUSTATES;
        int counted = 0;
        for (int k = 0; k < CPUSTATES; k++)
            counted |= cpu[k] != 0;
        if (!counted)
            continue;
        char name[8];
        snprintf(name, sizeof(name), "%zu", i);
        found(receiver, name);
    }
}

int32_t percentages(int count, int64_t *shares, const int64_t *current, int64_t *previous,
                    int64_t *differences)
{
    if (count < 1)
        return 1;
    // 128 bits: a wrapped counter's change is near the 64-bit maximum, and
    // neither the total nor a change times 1000 may overflow.
    __int128 total = 0;
    for (int k = 0; k < count; k++) {
        auto change = static_cast<int64_t>(static_cast<uint64_t>(current[k]) -
                                           static_cast<uint64_t>(previous[k]));
        if (change < 0)
            change += INT64_MAX;
        differences[k] = change;
        total += change;
        previous[k] = current[k];
    }
    if (total == 0)
        total = 1;
    __int128 half = total / 2;
    for (int k = 0; k < count; k++)
        shares[k] = static_cast<int64_t>((static_cast<__int128>(differences[k]) * 1000 + half) /
                                         total);
    return static_cast<int32_t>(static_cast<uint32_t>(total));
}

int32_t cpu_pack(uint8_t *buffer, int32_t space, stream *s)
{
    if (cp_times_components == 0)
        return 0;
    cpu_probe_state *c = &stream_probe_state(s)->cpu;
    if ((c->index + 1u) * CPU_BYTES > counters_length) {
        warning("cpu(%d): not in sysctl buffer", c->index);
        return 0;
    }
    const long *cpu = counters + c->index * CPUSTATES;
    for (int k = 0; k < CPUSTATES; k++)
        c->current[k] = cpu[k];
    percentages(CPUSTATES, c->shares, c->current, c->previous, c->differences);
    return pack_typed<STREAM_CPU>(buffer, space, s->argument, c->shares[CP_USER] / 10.0,
                                  c->shares[CP_NICE] / 10.0, c->shares[CP_SYS] / 10.0,
                                  c->shares[CP_INTR] / 10.0, c->shares[CP_IDLE] / 10.0);
}
