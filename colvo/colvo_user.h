// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The user colvo and its exporter become once they give up root
// (privdrop.h), looked up at start, and the databases that user cannot write, told at start and on
// reload.
#pragma once

#include "lists.h"
#include "privdrop.h"

// Looked up while still on the terminal: started as root (and not told to
// keep its user), a missing user is fatal, saying what to do (program: the
// name told to start with -u).
run_as lookup_run_as(int keep_user, const char *program);
// Gives up root for the user (privdrop.h), and says so.
void become_colvo_user(const run_as *user);
// Warns once per file about each configured database this process cannot
// write.
void warn_unwritable_databases(const mux *m);
