// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Database failures per file, past the five told one by one: a small fixed
// table of the files failing now, with their counts and the library's last
// reason. A file's first failure and its recovery are told (a bounded
// number per interval); the counts are summed up once an interval.
// Thousands of streams thus need no counter of their own.
#include <cstdio>
#include <cstring>

#include "error.h"
#include "rrd_failures.h"
#include "xmalloc.h"

static uint32_t name_hash(const char *name)
{
    uint32_t h = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        h = (h ^ *p) * 16777619u;
    return h;
}

static failing_file *find(rrd_failures *f, const char *name, uint32_t hash)
{
    for (failing_file &file : f->files)
        if (file.name && file.hash == hash && strcmp(file.name, name) == 0)
            return &file;
    return nullptr;
}

static failing_file *add(rrd_failures *f, const char *name, uint32_t hash)
{
    for (failing_file &file : f->files)
        if (file.name == nullptr) {
            memset(&file, 0, sizeof(file));
            file.name = xstrdup(name);
            file.hash = hash;
            f->used++;
            return &file;
        }
    return nullptr;
}

static void forget(rrd_failures *f, failing_file *file)
{
    xfree(file->name);
    memset(file, 0, sizeof(*file));
    f->used--;
}

static int may_tell(rrd_failures *f)
{
    if (f->messages >= FAILURE_MESSAGES)
        return 0;
    f->messages++;
    return 1;
}

int rrd_failure(rrd_failures *f, const char *name, const char *reason, int told)
{
    uint32_t hash = name_hash(name);
    failing_file *file = find(f, name, hash);
    if (file == nullptr)
        file = add(f, name, hash);
    if (file == nullptr) {
        f->unlisted++;
        return told;
    }
    file->failed++;
    file->run++;
    snprintf(file->reason, sizeof(file->reason), "%s", reason);
    if (file->failing)
        return told;
    file->failing = 1;
    if (!told && may_tell(f)) {
        warning("rrd update of %.200s failed: %.200s", name, reason);
        told = 1;
    }
    return told;
}

void rrd_success(rrd_failures *f, const char *name)
{
    if (f->used == 0)
        return;
    failing_file *file = find(f, name, name_hash(name));
    if (file == nullptr || !file->failing)
        return;
    if (may_tell(f))
        info("rrd updates of %.200s succeed again; %ld had failed", name, file->run);
    file->failing = 0;
    file->run = 0;
}

void rrd_failures_summarise(rrd_failures *f, int seconds)
{
    // The files that failed most, by selection: the table is small.
    int named[SUMMARY_FILES];
    int count = 0;
    for (; count < SUMMARY_FILES; count++) {
        int best = -1;
        for (int i = 0; i < FAILING_FILES; i++) {
            int taken = 0;
            for (int k = 0; k < count; k++)
                taken |= named[k] == i;
            if (!taken && f->files[i].failed > 0 && (best < 0 || f->files[i].failed > f->files[best].failed))
                best = i;
        }
        if (best < 0)
            break;
        named[count] = best;
        const failing_file &file = f->files[best];
        warning("rrd updates of %.200s failed %ld times in the last %d s: %.200s", file.name, file.failed,
                seconds, file.reason);
    }
    long others = f->unlisted;
    for (int i = 0; i < FAILING_FILES; i++) {
        int taken = 0;
        for (int k = 0; k < count; k++)
            taken |= named[k] == i;
        if (!taken)
            others += f->files[i].failed;
    }
    if (others)
        warning("%ld more rrd updates of other files failed in the last %d s", others, seconds);
    // A file stays followed while it fails at least once an interval.
    for (failing_file &file : f->files) {
        if (file.name && file.failed == 0)
            forget(f, &file);
        file.failed = 0;
    }
    f->unlisted = 0;
    f->messages = 0;
}

void rrd_failures_free(rrd_failures *f)
{
    for (failing_file &file : f->files)
        if (file.name)
            forget(f, &file);
}
