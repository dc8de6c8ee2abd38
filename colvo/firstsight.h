// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Streams that a source's patterns take as they come (accept { all },
// if(*)), and the databases made for them at first sight. The streams
// taken are running state apart from the configuration, kept per source
// until the next reload, at most the source's max files of them: a broken
// or hostile host cannot fill the disk or colvo's memory. Streams past that
// are refused, counted and told once a minute.
#pragma once

#include <cstddef>
#include <ctime>

#include "index.h"
#include "lists.h"

struct sighted_source {
    const source *src;
    stream_list streams; // taken, each with its database file, or none
    int taken;
    long refused; // since last told
    time_t told;  // 0: nothing told yet
};

struct sightings {
    record_index by_source;
};

// The stream of src that its patterns take for the record, taken at its
// first sight; null when no pattern takes it, or when src has its fill.
const stream *sighted_stream(sightings *t, const source *src, int type, const char *argument,
                             time_t now);
// Forgets every source (at a reload, whose sources are new records).
void sightings_clear(sightings *t);

// Makes the missing database of a stream of src, where its section says
// create, for a first update stamped at: 1, 0 with why when it cannot,
// -1 when there is none to make (not missing, or not to be made).
int make_database(const source *src, const stream *s, time_t stamp, char *why, size_t room);
