// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// sysctl and sysctlnametomib for the MIBs the probes use, answered from the
// Linux kernel's figures. Unknown MIBs fail with ENOENT, as FreeBSD's do.
#include <sys/sysctl.h>
#include <sys/vmmeter.h>
#include <vm/vm_param.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include <net/if_mib.h>

#include "internal.h"
#include "standin.h"

enum {
    // FreeBSD numbers its dynamic nodes from 0x100; so do we.
    OID_NSWAPDEV = 0x100,
    OID_SWAP_INFO = 0x101,
    OID_ZONE_STATS = 0x102,
    OID_CP_TIMES = 0x100,
    OID_IPC = 0x101,
    OID_SFSTAT = 0x100,
    OID_DEV = 0x102,
    OID_KSTAT = 0x103,
    OID_CPU = 0x100,
    OID_ACPI = 0x100,
    OID_THERMAL = 0x100,
    OID_ZFS = 0x100,
    OID_MISC = 0x100,
    OID_ARCSTATS = 0x100,
    TEXT_BUFFER = 16384,
    MIB_PREFIX_MAX = 6,
    FORMAT_SIZE = 32,
};

// A "Key:  value kB" line of /proc/meminfo, in bytes.
static int meminfo_bytes(const char *text, const char *key, uint64_t *bytes)
{
    size_t length = strlen(key);
    for (const char *line = text; line; line = standin_next_line(line)) {
        if (strncmp(line, key, length) == 0 && line[length] == ':') {
            char *end;
            unsigned long long kib = strtoull(line + length + 1, &end, 10);
            if (end == line + length + 1)
                return 0;
            *bytes = kib * 1024;
            return 1;
        }
    }
    return 0;
}

static uint64_t page_size()
{
    return static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// The memory probe asks several MIBs of one file in one measurement: the
// first of them reads the file anew, the others take that text when it is
// a moment old, so the kernel builds the file once per measurement.
struct text_cache {
    char text[TEXT_BUFFER];
    timespec when;
    int valid;
};

static const char *read_anew(standin_file file, text_cache *c)
{
    c->valid = standin_read(file, c->text, sizeof(c->text)) >= 0;
    standin_mark(&c->when);
    return c->valid ? c->text : nullptr;
}

static const char *read_recent(standin_file file, text_cache *c)
{
    return c->valid && standin_recent(&c->when) ? c->text : read_anew(file, c);
}

static text_cache meminfo, swaps;

static int read_vmtotal(const int *, u_int, void *oldp, size_t *oldlenp)
{
    uint64_t active, free_bytes;
    const char *text = read_anew(SF_MEMINFO, &meminfo);
    if (text == nullptr)
        return -1;
    if (!meminfo_bytes(text, "Active", &active) || !meminfo_bytes(text, "MemFree", &free_bytes))
        return standin_fail(ENOENT);
    vmtotal t;
    memset(&t, 0, sizeof(t));
    t.t_arm = active / page_size();
    t.t_free = free_bytes / page_size();
    return standin_deliver(&t, sizeof(t), oldp, oldlenp);
}

static int read_physmem(const int *, u_int, void *oldp, size_t *oldlenp)
{
    uint64_t total;
    const char *text = read_recent(SF_MEMINFO, &meminfo);
    if (text == nullptr)
        return -1;
    if (!meminfo_bytes(text, "MemTotal", &total))
        return standin_fail(ENOENT);
    unsigned long physmem = total;
    return standin_deliver(&physmem, sizeof(physmem), oldp, oldlenp);
}

// The device lines of /proc/swaps, after its heading.
static const char *swap_line(const char *text, int index)
{
    const char *line = standin_next_line(text);
    for (int i = 0; line && i < index; i++)
        line = standin_next_line(line);
    return line;
}

// Where the memory figures just read say there is no swap at all, there
// is no swap device either: the swap file is not read, two system calls
// fewer each measurement on the many hosts without swap.
static int no_swap()
{
    uint64_t total;
    const char *text = read_recent(SF_MEMINFO, &meminfo);
    return text && meminfo_bytes(text, "SwapTotal", &total) && total == 0;
}

static int read_nswapdev(const int *, u_int, void *oldp, size_t *oldlenp)
{
    int count = 0;
    if (no_swap()) {
        swaps.valid = 0;
        return standin_deliver(&count, sizeof(count), oldp, oldlenp);
    }
    const char *text = read_anew(SF_SWAPS, &swaps);
    if (text == nullptr)
        return -1;
    while (swap_line(text, count))
        count++;
    return standin_deliver(&count, sizeof(count), oldp, oldlenp);
}

static int read_swap_info(const int *name, u_int, void *oldp, size_t *oldlenp)
{
    const char *text = read_recent(SF_SWAPS, &swaps);
    if (text == nullptr)
        return -1;
    const char *line = swap_line(text, name[2]);
    if (line == nullptr)
        return standin_fail(ENOENT);
    // Filename Type Size Used Priority, sizes in KiB.
    const char *sizes = standin_skip_fields(line, 2);
    unsigned long long kib[2];
    if (sizes == nullptr || standin_numbers(sizes, kib, 2) != 2)
        return standin_fail(ENOENT);
    unsigned long long size_kib = kib[0], used_kib = kib[1];
    xswdev x;
    memset(&x, 0, sizeof(x));
    x.xsw_version = XSWDEV_VERSION;
    x.xsw_nblks = static_cast<int>(size_kib * 1024 / page_size());
    x.xsw_used = static_cast<int>(used_kib * 1024 / page_size());
    return standin_deliver(&x, sizeof(x), oldp, oldlenp);
}

// FreeBSD's records that no Linux file holds, from a fixture tree's files.
static int read_record(standin_file file, void *oldp, size_t *oldlenp)
{
    static char *text;
    static size_t size;
    int length = standin_read_all(file, &text, &size);
    if (length < 0)
        return standin_fail(ENOENT);
    return standin_deliver(text, static_cast<size_t>(length), oldp, oldlenp);
}

static int read_zone_stats(const int *, u_int, void *oldp, size_t *oldlenp)
{
    return read_record(SF_ZONE_STATS, oldp, oldlenp);
}

static int read_sfstat(const int *, u_int, void *oldp, size_t *oldlenp)
{
    return read_record(SF_SFSTAT, oldp, oldlenp);
}

struct mib_row {
    const char *name; // or, ending in '.', a family's: its members are named by resolve
    int mib[MIB_PREFIX_MAX];
    u_int length;    // components of the name
    u_int arguments; // components after the name (a device index, a member)
    mib_reader *read;
    u_int kind;         // CTLTYPE_*, for the format query
    const char *format; // as FreeBSD's
    name_resolver *resolve;
    int only_with; // 1 + a file without which the name is unknown; 0 for none
};

static const mib_row mib_table[] = {
    {"vm.vmtotal", {CTL_VM, VM_TOTAL}, 2, 0, read_vmtotal, CTLTYPE_OPAQUE, "S,vmtotal"},
    {"hw.physmem", {CTL_HW, HW_PHYSMEM}, 2, 0, read_physmem, CTLTYPE_ULONG, "LU"},
    {"vm.nswapdev", {CTL_VM, OID_NSWAPDEV}, 2, 0, read_nswapdev, CTLTYPE_INT, "I"},
    {"vm.swap_info", {CTL_VM, OID_SWAP_INFO}, 2, 1, read_swap_info, CTLTYPE_NODE, "N"},
    {"kern.cp_times", {CTL_KERN, OID_CP_TIMES}, 2, 0, read_cp_times, CTLTYPE_LONG, "LU"},
    {"kern.clockrate", {CTL_KERN, KERN_CLOCKRATE}, 2, 0, read_clockrate, CTLTYPE_OPAQUE,
     "S,clockinfo"},
    {"kern.maxproc", {CTL_KERN, KERN_MAXPROC}, 2, 0, read_maxproc, CTLTYPE_INT, "I"},
    {"kern.proc.all", {CTL_KERN, KERN_PROC, KERN_PROC_ALL}, 3, 0, read_proc_all, CTLTYPE_NODE,
     "N"},
    {"net.link.generic.system.ifcount",
     {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT}, 5, 0, read_ifcount,
     CTLTYPE_INT, "I"},
    // Then the row and IFDATA_GENERAL.
    {"net.link.generic.ifdata", {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_IFDATA}, 4, 2,
     read_ifdata, CTLTYPE_NODE, "N"},
    {"vm.zone_stats", {CTL_VM, OID_ZONE_STATS}, 2, 0, read_zone_stats, CTLTYPE_STRUCT,
     "s,struct uma_type_header", nullptr, SF_ZONE_STATS + 1},
    {"kern.ipc.sfstat", {CTL_KERN, OID_IPC, OID_SFSTAT}, 3, 0, read_sfstat, CTLTYPE_OPAQUE,
     "S,sfstat", nullptr, SF_SFSTAT + 1},
    // Then the sensor or the figure.
    {"dev.cpu.", {OID_DEV, OID_CPU}, 2, 1, read_sensor, CTLTYPE_INT, "IK3", resolve_cpu_sensor},
    {"hw.acpi.thermal.", {CTL_HW, OID_ACPI, OID_THERMAL}, 3, 1, read_sensor, CTLTYPE_INT, "IK3",
     resolve_zone_sensor},
    {"kstat.zfs.misc.arcstats.", {OID_KSTAT, OID_ZFS, OID_MISC, OID_ARCSTATS}, 4, 1,
     read_arcstat, CTLTYPE_U64, "QU", resolve_arcstat},
};

static const mib_row *find_row(const int *name, u_int namelen)
{
    for (const mib_row &row : mib_table)
        if (namelen == row.length + row.arguments &&
            memcmp(name, row.mib, row.length * sizeof(int)) == 0)
            return &row;
    return nullptr;
}

// The kind and the format text, as FreeBSD's answer has them.
static int read_format(const int *name, u_int namelen, void *oldp, size_t *oldlenp)
{
    const mib_row *row = find_row(name, namelen);
    if (row == nullptr || (row->arguments && name[row->length] < 0))
        return standin_fail(ENOENT);
    struct {
        u_int kind;
        char format[FORMAT_SIZE];
    } answer = {row->kind | CTLFLAG_RD, {}};
    size_t length = strlen(row->format);
    memcpy(answer.format, row->format, length + 1);
    return standin_deliver(&answer, sizeof(answer.kind) + length + 1, oldp, oldlenp);
}

extern "C" int sysctl(const int *name, u_int namelen, void *oldp, size_t *oldlenp,
                      const void *newp, size_t newlen)
{
    if (newp != nullptr || newlen != 0)
        return standin_fail(EPERM);
    if (namelen > 2 && name[0] == CTL_SYSCTL && name[1] == CTL_SYSCTL_OIDFMT)
        return read_format(name + 2, namelen - 2, oldp, oldlenp);
    const mib_row *row = find_row(name, namelen);
    if (row == nullptr || (row->arguments && name[row->length] < 0))
        return standin_fail(ENOENT);
    return row->read(name, namelen, oldp, oldlenp);
}

extern "C" int sysctlnametomib(const char *name, int *mibp, size_t *sizep)
{
    for (const mib_row &row : mib_table) {
        size_t length = strlen(row.name);
        int member = 0;
        if (row.resolve) {
            if (strncmp(name, row.name, length) != 0)
                continue;
            member = row.resolve(name + length);
            if (member < 0)
                return standin_fail(ENOENT);
        } else if (strcmp(name, row.name) != 0) {
            continue;
        }
        if (row.only_with && standin_fd(static_cast<standin_file>(row.only_with - 1)) < 0)
            return standin_fail(ENOENT);
        size_t components = row.length + (row.resolve ? 1 : 0);
        if (*sizep < components)
            return standin_fail(ENOMEM);
        memcpy(mibp, row.mib, row.length * sizeof(int));
        if (row.resolve)
            mibp[row.length] = member;
        *sizep = components;
        return 0;
    }
    return standin_fail(ENOENT);
}
