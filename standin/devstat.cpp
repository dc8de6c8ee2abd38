// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// libdevstat's devstat_getnumdevs and devstat_getdevs, answered from the
// Linux block layer's counters in /proc/diskstats, one device per line in
// the file's order. Linux names are split into FreeBSD's name and unit so
// that a short disk name finds its device as on FreeBSD (sda is sd unit 0).
#include <devstat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "internal.h"
#include "standin.h"

enum { SECTOR = 512, LINUX_NAME_SIZE = 32 };

// Whole disks named by letters after these prefixes: sda, vdb, xvdc, hdd.
static const char *const letter_disks[] = {"xvd", "sd", "vd", "hd"};

static char *text;
static size_t text_size;

// One line of /proc/diskstats: major minor name, then the counters; the
// discard counters exist since Linux 4.18.
struct disk_line {
    unsigned major, minor;
    char name[LINUX_NAME_SIZE];
    unsigned long long reads, read_sectors, writes, write_sectors, discards, discard_sectors;
};

static int parse_line(const char *line, disk_line *d)
{
    memset(d, 0, sizeof(*d));
    unsigned long long id[2], c[14];
    if (standin_numbers(line, id, 2) != 2 || id[0] > UINT_MAX || id[1] > UINT_MAX)
        return 0;
    const char *name = standin_skip_fields(line, 2);
    const char *counters = name ? standin_skip_fields(name, 1) : nullptr;
    if (counters == nullptr)
        return 0;
    name = standin_skip_blanks(name);
    size_t length = static_cast<size_t>(counters - name);
    // reads, merged, sectors, ms, writes, merged, sectors, ms, in flight,
    // ms, weighted ms, discards, merged, sectors.
    int n = standin_numbers(counters, c, 14);
    if (length >= sizeof(d->name) || n < 7)
        return 0;
    d->major = static_cast<unsigned>(id[0]);
    d->minor = static_cast<unsigned>(id[1]);
    memcpy(d->name, name, length);
    d->reads = c[0];
    d->read_sectors = c[2];
    d->writes = c[4];
    d->write_sectors = c[6];
    d->discards = n > 11 ? c[11] : 0;
    d->discard_sectors = n > 13 ? c[13] : 0;
    return 1;
}

static int clamp_unit(unsigned long long unit)
{
    return unit > INT_MAX ? INT_MAX : static_cast<int>(unit);
}

// FreeBSD's name and unit for a Linux device name: trailing digits are the
// unit (nvme0n1: nvme0n 1, sda1: sda 1, dm-0: dm- 0); a whole disk named by
// letters counts them from a (sda: sd 0, vdb: vd 1, sdaa: sd 26); any other
// name is unit 0 of itself.
static void disk_unit(const char *linux_name, char *name, size_t size, int *unit)
{
    size_t length = strlen(linux_name), digits = length;
    while (digits > 0 && isdigit(static_cast<unsigned char>(linux_name[digits - 1])))
        digits--;
    size_t keep = length;
    *unit = 0;
    if (digits < length) {
        keep = digits;
        *unit = clamp_unit(strtoull(linux_name + digits, nullptr, 10));
    } else {
        for (const char *prefix : letter_disks) {
            size_t p = strlen(prefix);
            if (length <= p || strncmp(linux_name, prefix, p) != 0 ||
                strspn(linux_name + p, "abcdefghijklmnopqrstuvwxyz") != length - p)
                continue;
            unsigned long long count = 0;
            for (size_t i = p; i < length && count <= INT_MAX; i++)
                count = count * 26 + static_cast<unsigned>(linux_name[i] - 'a' + 1);
            keep = p;
            *unit = clamp_unit(count - 1);
            break;
        }
    }
    snprintf(name, size, "%.*s", static_cast<int>(keep), linux_name);
}

static int count_devices(const char *all)
{
    int count = 0;
    disk_line d;
    for (const char *line = all; line && *line; line = standin_next_line(line))
        count += parse_line(line, &d);
    return count;
}

// The probe counts the devices and then asks for them: the count's read,
// a moment old and not yet used, serves the request, so the kernel builds
// the file once per tick.
static int counted = -1;
static timespec counted_at;

extern "C" int devstat_getnumdevs(kvm_t *kd)
{
    counted = -1;
    if (kd != nullptr)
        return standin_fail(EOPNOTSUPP); // no kernel memory images here
    if (standin_read_all(SF_DISKSTATS, &text, &text_size) < 0)
        return -1;
    counted = count_devices(text);
    standin_mark(&counted_at);
    return counted;
}

static void fill(devstat *ds, const disk_line &d)
{
    memset(ds, 0, sizeof(*ds));
    ds->device_number = static_cast<u_int32_t>(d.major << 20 | d.minor);
    disk_unit(d.name, ds->device_name, sizeof(ds->device_name), &ds->unit_number);
    ds->operations[DEVSTAT_READ] = d.reads;
    ds->operations[DEVSTAT_WRITE] = d.writes;
    ds->operations[DEVSTAT_FREE] = d.discards;
    ds->bytes[DEVSTAT_READ] = d.read_sectors * SECTOR;
    ds->bytes[DEVSTAT_WRITE] = d.write_sectors * SECTOR;
    ds->bytes[DEVSTAT_FREE] = d.discard_sectors * SECTOR;
    ds->block_size = SECTOR;
}

// Linux has no generation count of its device list: a hash of the list
// stands in, equal for equal lists and never 0.
static long generation_of(const devstat *devices, int count)
{
    unsigned long hash = 2166136261u;
    for (int i = 0; i < count; i++) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(&devices[i].device_number);
        for (size_t k = 0; k < sizeof(u_int32_t) + DEVSTAT_NAME_LEN + sizeof(int); k++)
            hash = (hash ^ p[k]) * 16777619u;
    }
    hash &= LONG_MAX;
    return hash ? static_cast<long>(hash) : 1;
}

extern "C" int devstat_getdevs(kvm_t *kd, statinfo *stats)
{
    if (stats == nullptr || stats->dinfo == nullptr)
        return standin_fail(EINVAL);
    int count = kd == nullptr && counted >= 0 && standin_recent(&counted_at) ? counted
                                                                          : devstat_getnumdevs(kd);
    counted = -1;
    if (count < 0)
        return -1;
    // As libdevstat: the generation, then the devices, in one block that
    // the caller releases with free(mem_ptr).
    devinfo *dinfo = stats->dinfo;
    size_t size = sizeof(long) + static_cast<size_t>(count) * sizeof(devstat);
    u_int8_t *block = static_cast<u_int8_t *>(realloc(dinfo->mem_ptr, size));
    if (block == nullptr)
        return standin_fail(ENOMEM);
    dinfo->mem_ptr = block;
    dinfo->devices = reinterpret_cast<devstat *>(block + sizeof(long));
    int filled = 0;
    disk_line d;
    for (const char *line = text; line && *line && filled < count; line = standin_next_line(line))
        if (parse_line(line, &d))
            fill(&dinfo->devices[filled++], d);
    dinfo->numdevs = filled;
    long previous = dinfo->generation;
    dinfo->generation = generation_of(dinfo->devices, filled);
    memcpy(block, &dinfo->generation, sizeof(long));
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    stats->snap_time = now.tv_sec + now.tv_nsec * 1e-9L;
    return dinfo->generation != previous;
}
