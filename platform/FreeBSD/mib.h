// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A sysctl resolved once by name and read by its numbers after, as the
// probes read the kernel's figures every tick.
#pragma once

#include <cstdint>
#include <sys/types.h>
#include <sys/sysctl.h>

struct mib {
    int name[CTL_MAXNAME + 1]; // one spare component for a device index
    size_t length;             // components; 0 while not resolved
};

// Resolves name into m: 1, or 0 with errno set and m's length 0.
int mib_resolve(const char *name, mib *m);
// Reads the resolved sysctl; sysctl's result.
int mib_read(const mib *m, void *value, size_t *size);
// Reads an unsigned integer of 4 or 8 bytes: 1, or 0 when the read fails
// or gives another size.
int mib_read_unsigned(const mib *m, uint64_t *value);
