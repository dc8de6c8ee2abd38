// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Checked allocation: these wrappers end the process instead of returning
// failure, so callers never test their results.
#pragma once

#include <cstddef>

void *xmalloc(size_t size);
void *xrealloc(void *block, size_t size);
// Null is nothing to free, as with free().
void xfree(void *block);
char *xstrdup(const char *text);

// xmalloc, cleared: every record starts zero-filled.
void *xzalloc(size_t size);

template <typename T> T *xnew_record()
{
    return static_cast<T *>(xzalloc(sizeof(T)));
}
