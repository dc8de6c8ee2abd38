// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What the stand-in's own files share: result delivery as FreeBSD's sysctl
// does it, line walking, and the readers and request handlers that live in
// one file per FreeBSD interface. Not for the probes.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

#include "standin.h"

// common.cpp: copies a result as the kernel does: length query without a
// buffer, ENOMEM (with the part that fits) when the buffer is too small.
int standin_deliver(const void *value, size_t size, void *oldp, size_t *oldlenp);
// errno = error; -1.
int standin_fail(int error);
// The file's descriptor, opened now if it was not; -1 with errno set.
int standin_fd(standin_file file);
// The whole file into a buffer of the caller's that grows as needed and
// never shrinks (malloc'ed, as the C library's own); its length, or -1.
int standin_read_all(standin_file file, char **buffer, size_t *size);
// The start of the line after this one, or null at the end of the text.
const char *standin_next_line(const char *line);
// Past the spaces and tabs at p.
const char *standin_skip_blanks(const char *p);
// Up to count blank-separated unsigned decimals (saturating): how many
// were read before something else came.
int standin_numbers(const char *p, unsigned long long *values, int count);
// One blank-led decimal integer, perhaps negative: 1, or 0 when none is there.
int standin_integer(const char *p, long long *value);
// Up to count blank-separated decimals with an optional fraction, each the
// double strtod gives: how many were read.
int standin_decimals(const char *p, double *values, int count);
// Past count blank-separated fields of the line, or null when it has fewer.
const char *standin_skip_fields(const char *p, int count);

// common.cpp: marks now; standin_recent says whether a mark is a moment old (under
// half a second): several MIBs or reads of one measurement share one read
// of the kernel's file.
void standin_mark(timespec *when);
int standin_recent(const timespec *when);

// open(), on a descriptor above 2 (daemon() reuses 0 to 2), close-on-exec.
int standin_open_high(const char *path, int flags);
// The same, relative to a directory's descriptor.
int standin_openat_high(int dir, const char *path, int flags);
// The same, for a path below the stand-in's root ("/proc").
int standin_open_at_root(const char *path, int flags);
// The root the stand-in reads below: "" for the real one.
const char *standin_root();
// A number that changes with the root: what was kept from another root's
// files is dropped when it differs.
unsigned standin_root_generation();

// One sysctl MIB: name and its length, result area and its length.
typedef int mib_reader(const int *name, u_int namelen, void *oldp, size_t *oldlenp);
mib_reader read_cp_times;  // cpu.cpp
mib_reader read_ifcount;   // ifmib.cpp
mib_reader read_ifdata;    // ifmib.cpp
mib_reader read_clockrate; // proc.cpp
mib_reader read_maxproc;   // proc.cpp
mib_reader read_proc_all;  // proc.cpp
mib_reader read_sensor;    // sensor.cpp
mib_reader read_arcstat;   // kstat.cpp

// The argument of a sysctl of a family ("dev.cpu.", then the rest of the
// name) that names one of its members, or -1 when none is there.
typedef int name_resolver(const char *rest);
name_resolver resolve_cpu_sensor;  // sensor.cpp: "N.temperature"
name_resolver resolve_zone_sensor; // sensor.cpp: "tzN.temperature"
name_resolver resolve_arcstat;     // kstat.cpp: "hits"

// cpu.cpp: whether /proc/stat lists the CPU.
int standin_cpu_listed(long cpu);

// ioctl requests of FreeBSD drivers that Linux does not have.
typedef int ioctl_handler(int fd, unsigned long request, void *argument);
ioctl_handler standin_pf_ioctl;  // pf.cpp
ioctl_handler standin_pf_status; // pf.cpp
ioctl_handler standin_ata_ioctl; // cam.cpp
