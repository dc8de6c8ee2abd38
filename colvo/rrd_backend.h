// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The database library as a table, so tests and fuzzing can record calls.
#pragma once

struct rrd_backend {
    int (*update)(int argc, char **argv);
    int (*test_error)();
    const char *(*get_error)();
    void (*clear_error)();
};
extern const rrd_backend librrd_backend;
extern const rrd_backend *rrd_backend_current;
