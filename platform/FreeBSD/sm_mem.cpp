// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The memory probe: active, used and free real memory and swap use, in
// bytes, for mem, mem2 and mem1 streams alike (all sent in the wide layout).
#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/vmmeter.h>
#include <vm/vm_param.h>

#include <cstring>
#include <unistd.h>

#include "error.h"
#include "mib.h"
#include "pack.h"
#include "probes.h"
#include "types.h"

// The line numbers these checks have always been reported with.
enum { LINE_VMTOTAL = 124, LINE_PHYSMEM = 130, LINE_NSWAPDEV = 143 };

static unsigned shift;
static mib physmem_mib, nswapdev_mib, swap_info_mib;
static vmtotal snapshot;
static size_t snapshot_length = sizeof(vmtotal);
static uint64_t active_bytes, used_bytes, free_bytes, swap_used, swap_total;

unsigned page_shift(long page_size)
{
    unsigned s = 0;
    if (page_size >= 2) {
        long before;
        do {
            s++;
            before = page_size;
            page_size /= 2;
        } while (before > 3);
    }
    return s;
}

static void resolve(const char *name, mib *m)
{
    if (!mib_resolve(name, m))
        warning("sysctlnametomib for %.200s failed", name);
}

void mem_start(stream *s)
{
    shift = page_shift(sysconf(_SC_PAGESIZE));
    resolve("hw.physmem", &physmem_mib);
    resolve("vm.nswapdev", &nswapdev_mib);
    resolve("vm.swap_info", &swap_info_mib);
    info("started module mem(%.200s)", s->argument);
}

void mem_sample()
{
    int vm_total[2] = {CTL_VM, VM_TOTAL};
    memset(&snapshot, 0, sizeof(snapshot));
    if (sysctl(vm_total, 2, &snapshot, &snapshot_length, nullptr, 0) != 0) {
        warning("%s:%d: sysctl failed", __FILE__, LINE_VMTOTAL);
        return;
    }
    uint64_t physmem = 0;
    size_t length = sizeof(physmem);
    if (sysctl(physmem_mib.name, static_cast<u_int>(physmem_mib.length), &physmem, &length,
               nullptr, 0) != 0) {
        warning("%s:%d: sysctl %.200s failed", __FILE__, LINE_PHYSMEM, "hw.physmem");
        return;
    }
    active_bytes = static_cast<uint64_t>(snapshot.t_arm) << shift;
    free_bytes = static_cast<uint64_t>(snapshot.t_free) << shift;
    used_bytes = physmem - free_bytes;
    swap_used = 0;
    swap_total = 0;

    int devices = 0;
    length = sizeof(devices);
    if (sysctl(nswapdev_mib.name, static_cast<u_int>(nswapdev_mib.length), &devices, &length,
               nullptr, 0) != 0) {
        warning("%s:%d: sysctl %.200s failed", __FILE__, LINE_NSWAPDEV, "vm.nswapdev");
        return;
    }
    for (int i = 0; i < devices; i++) {
        xswdev device;
        length = sizeof(device);
        swap_info_mib.name[swap_info_mib.length] = i;
        if (sysctl(swap_info_mib.name, static_cast<u_int>(swap_info_mib.length + 1), &device,
                   &length, nullptr, 0) != 0)
            continue;
        swap_used += static_cast<uint64_t>(static_cast<int64_t>(device.xsw_used)) << shift;
        swap_total += static_cast<uint64_t>(static_cast<int64_t>(device.xsw_nblks)) << shift;
    }
}

int32_t mem_pack(uint8_t *buffer, int32_t space, stream *s)
{
    return pack_typed<STREAM_MEM>(buffer, space, s->argument, active_bytes, used_bytes,
                                  free_bytes, swap_used, swap_total);
}
