// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The monitor reaches every probe through one table indexed by stream type.
// Each entry offers up to four operations: prepare (once, while still
// privileged), start (per configured stream), sample (once per measurement
// for the whole type) and pack (per stream, for every packet); and, where
// the type's objects can be listed, discover (TYPE(*) in a configuration).
#pragma once

#include <cstdint>

#include "lists.h"
#include "types.h"

// Takes one object that discover found, by the argument its stream names
// it with.
typedef void discover_found(void *receiver, const char *name);

struct probe_entry {
    int32_t type;
    int32_t in_use;
    void (*prepare)();                                      // may be absent
    void (*start)(stream *s);                               // present for named types
    void (*sample)();                                       // may be absent
    int32_t (*pack)(uint8_t *buffer, int32_t space, stream *s); // present for named types
    // Hands found every object of the type the host has now; absent where
    // they cannot be listed.
    void (*discover)(discover_found *found, void *receiver);
    int32_t in_all; // monitor { all } takes the type
};

enum { PROBE_TABLE_SIZE = STREAM_TYPE_COUNT };

// Entry i serves type i; a type no configuration names has an empty entry
// whose type is STREAM_TYPE_COUNT.
extern probe_entry (&probe_table)[PROBE_TABLE_SIZE];
