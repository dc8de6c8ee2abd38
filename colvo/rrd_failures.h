// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Database failures per file, past the ones told one by one: the files
// failing now in a fixed table, so the streams need no counter of their own
// and a full table counts the failures of further files only.
#pragma once

#include <cstdint>

enum {
    FAILING_FILES = 32,    // database files followed at once
    FAILURE_MESSAGES = 10, // first failures and recoveries told per interval
    SUMMARY_FILES = 5,     // files named in each summary
    FAILURE_REASON = 160,
};

// A database file that failed in this interval or fails still.
struct failing_file {
    char *name; // null: the slot is free
    uint32_t hash;
    int failing; // no success since its last failure
    long failed; // in this interval
    long run;    // since its last success
    char reason[FAILURE_REASON];
};

struct rrd_failures {
    int used;
    int messages; // told in this interval
    long unlisted;
    failing_file files[FAILING_FILES];
};

// One failure of the file with the library's text. told: the caller has
// reported it. Tells the first failure of a file (since its last success)
// while the interval's messages last; 1 when the failure was told.
int rrd_failure(rrd_failures *f, const char *name, const char *reason, int told);
// Tells that a failing file is written again.
void rrd_success(rrd_failures *f, const char *name);
// The files that failed most in the last seconds, and the rest in one line.
void rrd_failures_summarise(rrd_failures *f, int seconds);
void rrd_failures_free(rrd_failures *f);
