// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Candidate device paths for a short disk name.
#include <sys/types.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diskname.h"

const char *const diskname_formats[DISKNAME_FORMATS] = {
    "%s", "/dev/%s", "/dev/ufs/%s", "/dev/ufsid/%s", "/dev/gpt/%s", "/dev/label/%s",
};

void diskname_init(diskname_iter *it, const char *name, char *buffer, size_t size)
{
    it->name = name;
    it->buffer = buffer;
    it->size = size;
    it->index = 0;
    it->resolved = 0;
    if (buffer && size)
        memset(buffer, 0, size);
}

char *diskname_next(diskname_iter *it)
{
    if (it->name == nullptr || it->buffer == nullptr || it->size == 0 ||
        it->index >= DISKNAME_FORMATS)
        return nullptr;
    memset(it->buffer, 0, it->size);
    // An absolute name is offered once, as given, never resolved.
    if (it->name[0] == '/') {
        if (it->index != 0)
            return nullptr;
        snprintf(it->buffer, it->size, "%s", it->name);
        it->index = 1;
        return it->buffer;
    }
    snprintf(it->buffer, it->size, diskname_formats[it->index], it->name);
    struct stat st;
    char target[PATH_MAX];
    if (!it->resolved && lstat(it->buffer, &st) == 0 && S_ISLNK(st.st_mode) &&
        realpath(it->buffer, target) != nullptr) {
        snprintf(it->buffer, it->size, "%s", target);
        it->resolved = 1;
        return it->buffer;
    }
    it->resolved = 0;
    it->index++;
    return it->buffer;
}
