// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Disk name resolution shared by the io, df and smart probes: a short name
// (ada0, a GPT or UFS label, a full path) becomes a sequence of candidate
// device paths. A candidate that is a symbolic link is offered twice in a
// row, first as its target, then as the link itself.
#pragma once

#include <cstddef>
#include <cstdint>

enum { DISKNAME_FORMATS = 6 };

struct diskname_iter {
    const char *name;
    char *buffer;
    size_t size;
    int32_t index;    // next pattern, 0 to DISKNAME_FORMATS
    int32_t resolved; // the previous candidate was a link's target
};

extern const char *const diskname_formats[DISKNAME_FORMATS];

void diskname_init(diskname_iter *it, const char *name, char *buffer, size_t size);
// The buffer with the next candidate, or null when there is none left.
char *diskname_next(diskname_iter *it);
