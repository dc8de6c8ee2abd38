// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stream patterns, as both configurations write them: TYPE(*) stands for
// every argument of a type, less those that match one of its exclusions
// (shell patterns: TYPE(* !lo0 !pflog*)); all stands for every stream of
// every type. The monitor sends what its patterns find on the host, the
// multiplexer accepts what its sources' patterns take.
#pragma once

#include "catalogue.h"

// The type of the pattern that all writes.
enum { PATTERN_ALL_TYPES = STREAM_TYPE_COUNT };

struct stream_pattern {
    int type; // a stream type, or PATTERN_ALL_TYPES
    int exclusion_count;
    char **exclusions;
    stream_pattern *next;
};

struct pattern_list {
    stream_pattern *first;
};

stream_pattern *pattern_new(int type);
// One more exclusion, a copy of the shell pattern.
void pattern_exclude(stream_pattern *p, const char *glob);
// Links the pattern in at the head; 0 (the pattern left to the caller)
// when the list has one of its type already.
int pattern_list_add(pattern_list *list, stream_pattern *p);
// 1 when the pattern stands for the stream.
int pattern_takes(const stream_pattern *p, int type, const char *argument);
// The first pattern of the list that stands for the stream, or null.
const stream_pattern *pattern_list_find(const pattern_list *list, int type, const char *argument);
// The pattern of the type (not all's), or null.
const stream_pattern *pattern_list_of_type(const pattern_list *list, int type);
void pattern_free(stream_pattern *p);
void pattern_list_free(pattern_list *list);
