// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The temperature sysctls from sysfs: hw.acpi.thermal.tzN.temperature from
// thermal/thermal_zoneN/temp, dev.cpu.N.temperature from the coretemp
// input labelled "Core N", else from k10temp's Tdie (or Tctl) for every
// CPU /proc/stat lists. Linux gives millidegrees Celsius; the sysctls give
// millikelvin ("IK3"). A sensor's file is found when its name is resolved,
// through the class directory opened at start (the probe starts inside
// the chroot), and kept open.
#include <sys/types.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "internal.h"
#include "standin.h"

enum { SLOT_COUNT = 256, SENSOR_PATH = 96, TEXT = 64, ZERO_CELSIUS_MILLI = 273150 };

// A sensor's file below the class directory; the slot's number is the
// last component of its MIB.
struct slot {
    char path[SENSOR_PATH];
    int fd; // -1 until opened again
};
static slot slots[SLOT_COUNT];
static int slot_count;
static unsigned generation;

// The files kept are the root's of now: another root's are closed.
static void follow_root()
{
    if (generation == standin_root_generation())
        return;
    generation = standin_root_generation();
    for (int i = 0; i < slot_count; i++) {
        if (slots[i].fd >= 0)
            close(slots[i].fd);
        slots[i].fd = -1;
    }
}

static int open_below_classes(const char *path, int flags)
{
    int classes = standin_fd(SF_CLASSES);
    return classes < 0 ? -1 : standin_openat_high(classes, path, flags);
}

// A small sysfs file's text, its last newline dropped: 1, or 0.
static int read_text(const char *path, char *text, size_t size)
{
    int fd = open_below_classes(path, O_RDONLY);
    if (fd < 0)
        return 0;
    ssize_t n = pread(fd, text, size - 1, 0);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    if (text[n - 1] == '\n')
        text[n - 1] = '\0';
    return 1;
}

// The slot of the sensor whose file is path, kept from now on; -1 when
// the file is not there.
static int keep(const char *path)
{
    follow_root();
    int i = 0;
    while (i < slot_count && strcmp(slots[i].path, path) != 0)
        i++;
    if (i == SLOT_COUNT)
        return standin_fail(ENOENT);
    if (i == slot_count) {
        snprintf(slots[i].path, sizeof(slots[i].path), "%s", path);
        slots[i].fd = -1;
        slot_count++;
    }
    if (slots[i].fd < 0)
        slots[i].fd = open_below_classes(path, O_RDONLY);
    return slots[i].fd < 0 ? -1 : i;
}

int resolve_zone_sensor(const char *rest)
{
    char *end;
    if (strncmp(rest, "tz", 2) != 0 || rest[2] < '0' || rest[2] > '9')
        return standin_fail(ENOENT);
    long zone = strtol(rest + 2, &end, 10);
    if (strcmp(end, ".temperature") != 0)
        return standin_fail(ENOENT);
    char path[SENSOR_PATH];
    snprintf(path, sizeof(path), "thermal/thermal_zone%ld/temp", zone);
    return keep(path);
}

// The input of the hwmon device named driver whose label is one of
// labels (the first found in their order), as a path below the classes.
static int find_input(const char *driver, const char *const *labels, int label_count, char *path,
                      size_t size)
{
    int hwmon = open_below_classes("hwmon", O_RDONLY | O_DIRECTORY);
    DIR *devices = hwmon < 0 ? nullptr : fdopendir(hwmon);
    if (devices == nullptr) {
        if (hwmon >= 0)
            close(hwmon);
        return 0;
    }
    int best = label_count;
    while (dirent *device = readdir(devices)) {
        char file[SENSOR_PATH], text[TEXT];
        snprintf(file, sizeof(file), "hwmon/%.40s/name", device->d_name);
        if (device->d_name[0] == '.' || !read_text(file, text, sizeof(text)) ||
            strcmp(text, driver) != 0)
            continue;
        // Its temperature inputs are numbered from 1, each with a label.
        for (int input = 1; input < SLOT_COUNT; input++) {
            snprintf(file, sizeof(file), "hwmon/%.40s/temp%d_label", device->d_name, input);
            if (!read_text(file, text, sizeof(text)))
                break;
            for (int l = 0; l < best; l++)
                if (strcmp(text, labels[l]) == 0) {
                    snprintf(path, size, "hwmon/%.40s/temp%d_input", device->d_name, input);
                    best = l;
                }
        }
    }
    closedir(devices);
    return best < label_count;
}

int resolve_cpu_sensor(const char *rest)
{
    char *end;
    if (rest[0] < '0' || rest[0] > '9')
        return standin_fail(ENOENT);
    long cpu = strtol(rest, &end, 10);
    if (strcmp(end, ".temperature") != 0)
        return standin_fail(ENOENT);
    char core[TEXT], path[SENSOR_PATH];
    snprintf(core, sizeof(core), "Core %ld", cpu);
    const char *const per_core[] = {core};
    // AMD's k10temp has one figure for the package: every CPU's.
    const char *const package[] = {"Tdie", "Tctl"};
    if (find_input("coretemp", per_core, 1, path, sizeof(path)) ||
        (standin_cpu_listed(cpu) && find_input("k10temp", package, 2, path, sizeof(path))))
        return keep(path);
    return standin_fail(ENOENT);
}

int read_sensor(const int *name, u_int namelen, void *oldp, size_t *oldlenp)
{
    int i = name[namelen - 1];
    if (i < 0 || i >= slot_count)
        return standin_fail(ENOENT);
    follow_root();
    if (slots[i].fd < 0)
        slots[i].fd = open_below_classes(slots[i].path, O_RDONLY);
    char text[TEXT];
    ssize_t n = slots[i].fd < 0 ? -1 : pread(slots[i].fd, text, sizeof(text) - 1, 0);
    if (n <= 0) {
        // Gone with its driver: found again by name, as FreeBSD's would be.
        if (slots[i].fd >= 0)
            close(slots[i].fd);
        slots[i].fd = -1;
        return standin_fail(ENOENT);
    }
    text[n] = '\0';
    char *end;
    long milli = strtol(text, &end, 10);
    if (end == text)
        return standin_fail(EIO);
    int millikelvin = static_cast<int>(milli + ZERO_CELSIUS_MILLI);
    return standin_deliver(&millikelvin, sizeof(millikelvin), oldp, oldlenp);
}
