// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The pid file and its lock, which keeps each daemon to one instance. The
// lock is taken before the daemon touches anything of its own and is held
// for its whole life: the descriptor stays open across daemon(). The file
// is rewritten only once locked, and removed on a clean exit.
#pragma once

struct pidfile {
    int fd;           // open and locked; -1 when none
    const char *path; // outlives the record
};

// Opens path (created when missing) and takes its exclusive lock without
// waiting; once locked, the file is emptied. 1 when locked; 0 when the file
// cannot be opened (errno tells why). When another instance holds the lock
// this is fatal, naming the pid written in the file, which is left as it is.
int pidfile_lock(pidfile *pf, const char *path);

// Replaces the content with our pid and a newline; 0 on failure.
int pidfile_write(pidfile *pf);

// Removes the file if its path still names it; where that is impossible
// (from inside a chroot, or without the right to the directory) the file
// is emptied instead. Releases the lock.
void pidfile_remove(pidfile *pf);
