// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Reading colvo's configuration: one mux holding the sources, the streams
// each may send and the database file of each. Used by colvo and by the
// tools that make and draw the databases.
#pragma once

#include "lists.h"
#include "rrd_make.h"

// Fills out from path. check: examine directories, files and keys.
// running: on reload, the configuration in force, whose databases stay
// attached when they cannot be opened now.
int load_config(mux_list *out, const char *path, int check, const mux *running = nullptr);
// The directory colvo was started in, taken at the first call (before
// daemon() moves to "/"): relative paths are made absolute against it.
const char *start_directory();
