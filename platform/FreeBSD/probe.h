// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor reaches every probe through one table indexed by stream type.
// Each entry offers up to four operations: prepare (once, while still
// privileged), start (per configured stream), sample (once per measurement
// for the whole type) and pack (per stream, for every packet).
#pragma once

#include <cstdint>

#include "lists.h"
#include "types.h"

struct probe_entry {
    int32_t type;
    int32_t in_use;
    void (*prepare)();                                      // may be absent
    void (*start)(stream *s);                               // present for named types
    void (*sample)();                                       // may be absent
    int32_t (*pack)(uint8_t *buffer, int32_t space, stream *s); // present for named types
};

enum { PROBE_TABLE_SIZE = STREAM_TYPE_COUNT };

// Entry i serves type i; a type no configuration names has an empty entry
// whose type is STREAM_TYPE_COUNT.
extern probe_entry (&probe_table)[PROBE_TABLE_SIZE];
