// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// kstat.zfs.misc.arcstats.* from OpenZFS's /proc/spl/kstat/zfs/arcstats:
// a heading line, a line of column names, then "name type data" per
// figure. The sysctls are unsigned 64-bit ("QU"). Names are numbered as
// they are resolved; a read looks its name up in the text, which the
// reads of one measurement share.
#include <sys/types.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "internal.h"
#include "standin.h"

enum { NAME_COUNT = 64, NAME_SIZE = 48, TEXT_SIZE = 32768 };

static char names[NAME_COUNT][NAME_SIZE];
static int name_count;

static struct {
    char text[TEXT_SIZE];
    timespec when;
    unsigned generation; // of the root it was read below
    int valid;
} arcstats;

static const char *text_of_now()
{
    if (arcstats.valid && standin_recent(&arcstats.when) &&
        arcstats.generation == standin_root_generation())
        return arcstats.text;
    arcstats.generation = standin_root_generation();
    arcstats.valid = standin_read(SF_ARCSTATS, arcstats.text, sizeof(arcstats.text)) >= 0;
    standin_mark(&arcstats.when);
    return arcstats.valid ? arcstats.text : nullptr;
}

// The value of the figure named name: 1, or 0 when no line has it.
static int figure(const char *text, const char *name, unsigned long long *value)
{
    size_t length = strlen(name);
    const char *line = standin_next_line(text); // past the heading
    for (line = line ? standin_next_line(line) : nullptr; line; line = standin_next_line(line)) {
        if (strncmp(line, name, length) != 0 || (line[length] != ' ' && line[length] != '\t'))
            continue;
        // The type column, then the data.
        const char *data = standin_skip_fields(line + length, 1);
        return data && standin_numbers(data, value, 1) == 1;
    }
    return 0;
}

int resolve_arcstat(const char *rest)
{
    unsigned long long value;
    const char *text = text_of_now();
    if (text == nullptr || strlen(rest) >= NAME_SIZE || !figure(text, rest, &value))
        return standin_fail(ENOENT);
    int i = 0;
    while (i < name_count && strcmp(names[i], rest) != 0)
        i++;
    if (i == NAME_COUNT)
        return standin_fail(ENOENT);
    if (i == name_count)
        snprintf(names[name_count++], NAME_SIZE, "%s", rest);
    return i;
}

int read_arcstat(const int *name, u_int namelen, void *oldp, size_t *oldlenp)
{
    int i = name[namelen - 1];
    unsigned long long value;
    const char *text = text_of_now();
    if (i < 0 || i >= name_count || text == nullptr || !figure(text, names[i], &value))
        return standin_fail(ENOENT);
    uint64_t figure64 = value;
    return standin_deliver(&figure64, sizeof(figure64), oldp, oldlenp);
}
