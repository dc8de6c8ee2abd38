// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "index.h"

#include "xmalloc.h"

uint32_t index_hash_bytes(uint32_t hash, const void *bytes, size_t count)
{
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < count; i++)
        hash = (hash ^ p[i]) * 16777619u;
    return hash;
}

void *index_find(const record_index *ix, uint32_t hash, index_match *match, const void *key)
{
    if (ix->slots == nullptr)
        return nullptr;
    for (uint32_t i = hash & ix->mask; ix->slots[i]; i = (i + 1) & ix->mask)
        if (match(ix->slots[i], key))
            return ix->slots[i];
    return nullptr;
}

static void place(record_index *ix, void *record, uint32_t hash)
{
    uint32_t i = hash & ix->mask;
    while (ix->slots[i])
        i = (i + 1) & ix->mask;
    ix->slots[i] = record;
}

// Probing order is insertion order, so growing keeps the first record of
// equal keys ahead of the later ones: they are moved in slot order from
// each run's start.
static void grow(record_index *ix, index_hash *hash_of)
{
    uint32_t old_size = ix->slots ? ix->mask + 1 : 0;
    void **old = ix->slots;
    uint32_t size = old_size ? 2 * old_size : 8;
    ix->slots = static_cast<void **>(xzalloc(size * sizeof(void *)));
    ix->mask = size - 1;
    if (old == nullptr)
        return;
    // Start after an empty slot, so every run is moved from its beginning.
    uint32_t start = 0;
    while (old[start])
        start++;
    for (uint32_t n = 0; n < old_size; n++) {
        void *record = old[(start + n) % old_size];
        if (record)
            place(ix, record, hash_of(record));
    }
    xfree(old);
}

void index_reserve(record_index *ix, uint32_t count)
{
    uint32_t size = 8;
    while (4 * count > 3 * size)
        size *= 2;
    if (ix->slots || size == 8)
        return;
    ix->slots = static_cast<void **>(xzalloc(size * sizeof(void *)));
    ix->mask = size - 1;
}

void index_add(record_index *ix, void *record, index_hash *hash_of)
{
    if (ix->slots == nullptr || 4 * (ix->count + 1) > 3 * (ix->mask + 1))
        grow(ix, hash_of);
    place(ix, record, hash_of(record));
    ix->count++;
}

// Backward-shift deletion: no tombstones, and the records after the hole
// keep their probing order.
void index_remove(record_index *ix, const void *record, index_hash *hash_of)
{
    if (ix->slots == nullptr)
        return;
    uint32_t i = hash_of(record) & ix->mask;
    while (ix->slots[i] && ix->slots[i] != record)
        i = (i + 1) & ix->mask;
    if (ix->slots[i] == nullptr)
        return;
    ix->slots[i] = nullptr;
    ix->count--;
    for (uint32_t j = (i + 1) & ix->mask; ix->slots[j]; j = (j + 1) & ix->mask) {
        uint32_t home = hash_of(ix->slots[j]) & ix->mask;
        // Move back unless its home lies cyclically in (i, j].
        if (i <= j ? (home <= i || home > j) : (home <= i && home > j)) {
            ix->slots[i] = ix->slots[j];
            ix->slots[j] = nullptr;
            i = j;
        }
    }
}

void index_free(record_index *ix)
{
    xfree(ix->slots);
    ix->slots = nullptr;
    ix->mask = 0;
    ix->count = 0;
}
