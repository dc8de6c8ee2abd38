// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "xmalloc.h"

#include <cstdlib>
#include <cstring>

#include "error.h"

void *xmalloc(size_t size)
{
    if (size == 0)
        fatal("xmalloc: zero size");
    void *block = malloc(size);
    if (block == nullptr)
        fatal("xmalloc: out of memory (allocating %lu bytes)", static_cast<unsigned long>(size));
    return block;
}

void *xrealloc(void *block, size_t size)
{
    if (size == 0)
        fatal("xrealloc: zero size");
    void *grown = block ? realloc(block, size) : malloc(size);
    if (grown == nullptr)
        fatal("xrealloc: out of memory (new_size %lu bytes)", static_cast<unsigned long>(size));
    return grown;
}

void xfree(void *block)
{
    free(block);
}

char *xstrdup(const char *text)
{
    size_t length = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(length));
    if (copy == nullptr)
        fatal("xmalloc: out of memory (allocating %lu bytes)", static_cast<unsigned long>(length));
    memcpy(copy, text, length);
    return copy;
}

void *xzalloc(size_t size)
{
    return memset(xmalloc(size), 0, size);
}
