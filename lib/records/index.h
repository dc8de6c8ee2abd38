// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// An index of records by key: open addressing with linear probing over
// record pointers, doubling to stay at most three quarters full. The
// records keep their keys; the caller gives the hash of a key and says
// whether a record matches it, so one table serves streams, sources and
// muxes alike.
#pragma once

#include <cstddef>
#include <cstdint>

struct record_index {
    void **slots;
    uint32_t mask; // slot count - 1; slots is null while empty
    uint32_t count;
};

typedef uint32_t index_hash(const void *record);
typedef int index_match(const void *record, const void *key);

// The first record added that matches the key, or null.
void *index_find(const record_index *ix, uint32_t hash, index_match *match, const void *key);
void index_add(record_index *ix, void *record, index_hash *hash_of);
// Sizes an empty index for count records at once, so that adding them
// leaves none of the smaller tables growth would make and drop.
void index_reserve(record_index *ix, uint32_t count);
void index_remove(record_index *ix, const void *record, index_hash *hash_of);
void index_free(record_index *ix);

// FNV-1a, continued from hash (start with INDEX_HASH_START).
enum : uint32_t { INDEX_HASH_START = 2166136261u };
uint32_t index_hash_bytes(uint32_t hash, const void *bytes, size_t count);
