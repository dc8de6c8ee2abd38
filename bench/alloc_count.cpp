// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "alloc_count.h"

#include <atomic>
#include <cstdlib>

// glibc's own entry points; ours count and forward.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

static std::atomic<size_t> allocations{0};

extern "C" void *malloc(size_t n)
{
    allocations++;
    return __libc_malloc(n);
}

extern "C" void *calloc(size_t n, size_t m)
{
    allocations++;
    return __libc_calloc(n, m);
}

extern "C" void *realloc(void *p, size_t n)
{
    allocations++;
    return __libc_realloc(p, n);
}

size_t allocation_count()
{
    return allocations.load();
}
