// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo without root: started as root it does what needs root (reads the
// configuration and keys, binds, makes the FIFO, locks the pid file, opens
// syslog), then becomes the user _colvo with that user's group alone, and
// checks that nothing of root is left before the first datagram. Its
// exporter does the same once it has bound its port.
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

#include "colvo_user.h"

#include "config.h"
#include "error.h"
#include "rrd_make.h"

run_as lookup_run_as(int keep_user, const char *program)
{
    run_as user = {0, getuid(), getgid(), program};
    if (keep_user || geteuid() != 0)
        return user;
    errno = 0;
    const passwd *pw = getpwnam(COLVO_USER);
    if (pw == nullptr)
        fatal("no user '%s' to run as: create it (see colvo(8)), or start %s with -u to keep "
              "running as root",
              COLVO_USER, program);
    if (pw->pw_uid == 0)
        fatal("user '%s' is root: give it a user id of its own", COLVO_USER);
    return {1, pw->pw_uid, pw->pw_gid, COLVO_USER};
}

void become_colvo_user(const run_as *user)
{
    drop_privileges(user);
    if (user->change)
        info("running as user %s", COLVO_USER);
}

void warn_unwritable_databases(const mux *m)
{
    if (m == nullptr)
        return;
    const char *who = privileges_dropped ? COLVO_USER : "colvo";
    for (const source *src = m->sources.first; src; src = src->next)
        for (const stream *s = src->streams.first; s; s = s->next) {
            if (s->rrd_file == nullptr || access(s->rrd_file, W_OK) == 0)
                continue;
            int error = errno;
            // Made when a packet needs it.
            if (error == ENOENT && src->rules && src->rules->create)
                continue;
            // Once per file: streams of one source rarely share one.
            int told = 0;
            for (const stream *t = src->streams.first; t != s && !told; t = t->next)
                told = t->rrd_file && strcmp(t->rrd_file, s->rrd_file) == 0;
            if (!told)
                warning("database '%.200s' cannot be written by %s: %.200s - %.200s", s->rrd_file,
                        who, strerror(error), file_advice(error));
        }
}
