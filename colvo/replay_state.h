// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The replay state: what colvo knows of its keyed sources (boot, highest
// sequence number, last time), kept in a file across its restarts.
#pragma once

#include <ctime>

#include "lists.h"

struct replay_state {
    int fd; // -1: none kept
    const char *path;
    time_t written;
    int entries; // in the last write; -1 before it
    int failing; // the last write failed, and was told
};

// Reads the file into the keyed sources of m it names, with a warning when
// it is missing or damaged; with keep, keeps it open to write (created when
// missing): called before colvo gives up root, which it needs for that.
void replay_state_open(replay_state *r, const char *path, mux *m, int keep);
// Writes the state of m's keyed sources at most once a minute, and always
// when at_exit is set.
void replay_state_save(replay_state *r, const mux *m, int at_exit);
