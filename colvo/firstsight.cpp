// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "firstsight.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "confread.h"
#include "error.h"
#include "figures.h"
#include "rrd_make.h"
#include "types.h"
#include "xmalloc.h"

enum { TOLD_EVERY = 60 };

static uint32_t hash_of_source(const source *src)
{
    return index_hash_bytes(INDEX_HASH_START, &src, sizeof(src));
}

static uint32_t sighted_hash(const void *record)
{
    return hash_of_source(static_cast<const sighted_source *>(record)->src);
}

static int sighted_matches(const void *record, const void *key)
{
    return static_cast<const sighted_source *>(record)->src == key;
}

static sighted_source *sighted_of(sightings *t, const source *src)
{
    void *found = index_find(&t->by_source, hash_of_source(src), sighted_matches, src);
    if (found)
        return static_cast<sighted_source *>(found);
    sighted_source *s = xnew_record<sighted_source>();
    s->src = src;
    index_add(&t->by_source, s, sighted_hash);
    return s;
}

// Names a pattern may take are written into FIFO lines and file names:
// printable, and free of the line's separators.
static int fit_name(const char *argument)
{
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(argument); *c; c++)
        if (*c < 0x20 || *c > 0x7e || *c == ':' || *c == ';')
            return 0;
    return 1;
}

static void refuse(sighted_source *s, int type, const char *argument, time_t now)
{
    figure_add(FIG_STREAMS_REFUSED);
    s->refused++;
    if (s->told == 0) {
        limited_warning(s->src, "source %.200s: stream %.100s(%.100s) refused: its patterns have taken %d, "
                "its max files",
                s->src->name, stream_type_name(type), argument, s->taken);
    } else if (now - s->told >= TOLD_EVERY || now < s->told) {
        limited_warning(s->src, "source %.200s: %ld streams refused in the last %d s, past its max files (%d)",
                s->src->name, s->refused, static_cast<int>(now - s->told), s->taken);
    } else {
        return;
    }
    s->told = now;
    s->refused = 0;
}

// The database file a taken stream's datadir names; none without a
// datadir, or where the file is missing and is not to be made.
static char *file_for(const source *src, int type, const char *argument)
{
    const source_rules *rules = src->rules;
    if (rules->datadir == nullptr)
        return nullptr;
    char path[ITEM_TEXT];
    size_t length = strlen(rules->datadir);
    if (length >= sizeof(path))
        return nullptr;
    memcpy(path, rules->datadir, length);
    if (!make_rrd_file_name(path + length, static_cast<int>(sizeof(path) - length), type,
                            argument))
        return nullptr;
    struct stat st;
    if (!rules->create && stat(path, &st) != 0) {
        limited_warning(src, "source %.200s: no database '%.200s' for %.20s(%.60s): make it, or say create "
                "in the section",
                src->name, path, stream_type_name(type), argument);
        return nullptr;
    }
    return xstrdup(path);
}

const stream *sighted_stream(sightings *t, const source *src, int type, const char *argument,
                             time_t now)
{
    sighted_source *s = sighted_of(t, src);
    stream *taken = stream_list_find(&s->streams, type, argument);
    if (taken)
        return taken;
    if (!stream_type_named(type) || !fit_name(argument) ||
        pattern_list_find(&src->rules->patterns, type, argument) == nullptr)
        return nullptr;
    if (s->taken >= src->rules->max_files) {
        refuse(s, type, argument, now);
        return nullptr;
    }
    taken = stream_list_add(&s->streams, type, argument);
    taken->rrd_file = file_for(src, type, argument);
    s->taken++;
    return taken;
}

void sightings_clear(sightings *t)
{
    for (uint32_t i = 0; t->by_source.slots && i <= t->by_source.mask; i++) {
        sighted_source *s = static_cast<sighted_source *>(t->by_source.slots[i]);
        if (s == nullptr)
            continue;
        stream_list_free(&s->streams);
        xfree(s);
    }
    index_free(&t->by_source);
}

int make_database(const source *src, const stream *s, time_t stamp, char *why, size_t room)
{
    const source_rules *rules = src->rules;
    struct stat st;
    if (rules == nullptr || !rules->create || s->rrd_file == nullptr ||
        stat(s->rrd_file, &st) == 0 || errno != ENOENT)
        return -1;
    // The folder, as the files, is the user colvo runs as.
    const file_owner self = {0, 0, 0};
    const char *slash = strrchr(s->rrd_file, '/');
    std::string folder(s->rrd_file, slash ? static_cast<size_t>(slash - s->rrd_file) : 0);
    if (!folder.empty() && stat(folder.c_str(), &st) != 0 && !make_folders(folder.c_str(), &self)) {
        snprintf(why, room, "cannot make folder %s: %s - %s", folder.c_str(), strerror(errno),
                 file_advice(errno));
        return 0;
    }
    int step = rules->step ? rules->step : SOURCE_STEP;
    if (!rrd_make(s->rrd_file, s->type, step, stamp - 1, &self, why, room))
        return 0;
    figure_add(FIG_FILES_MADE);
    info("made %.200s: step %d s, for %.200s", s->rrd_file, step, src->name);
    return 1;
}
