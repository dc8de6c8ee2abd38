// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The start both daemons share, first thing in main: descriptors 0 to 2
// held open (std_fds.h), logging's global state reset, every inherited
// descriptor above 2 closed, and the command line read: -d, -f, -t and -v
// the same way, the daemon's own letters through its callback. Then the
// detaching, which the starting command outlives until the daemon is ready.
#pragma once

struct start_rules {
    const char *name;    // in the version line, "<name> version <version>"
    const char *letters; // getopt's option string, "df:tv" and the daemon's own
    const char *usage;   // the usage line, %s for the program's name
    const char *config;  // the configuration file when -f is not given
    char *(*config_path)(const char *argument); // the allocated copy of -f's argument
    int (*letter)(int c); // one of the daemon's own letters: 1, or 0 when unknown
};

struct start_options {
    const char *program; // the name the daemon was called by
    char *config;        // allocated
    int test_mode;
};

// -v and unknown letters print the usage line and exit with status 64.
void daemon_start(const start_rules *rules, int argc, char **argv, start_options *out);

struct pidfile;

// Detaches from the terminal as daemon(0, 0) does, except that the
// starting process stays until the daemon calls daemon_ready, then exits
// 0; should the daemon end first, it exits with the daemon's status. So
// whatever goes on once the command returns (a script, rc.d's stop, a
// supervisor) finds the pid file written and the daemon serving. With
// foreground set nothing is forked, for a supervisor that watches the
// process itself. 0, or -1 with errno set.
int daemon_detach(int foreground);
// Writes the pid file, then lets the starting process return.
void daemon_ready(pidfile *pid);
