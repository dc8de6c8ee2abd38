// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "privdrop.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <unistd.h>

#include "error.h"

int privileges_dropped;

static int groups_are(gid_t gid)
{
    gid_t groups[2];
    int n = getgroups(2, groups);
    return n == 0 || (n == 1 && groups[0] == gid);
}

void drop_privileges(const run_as *user)
{
    if (!user->change) {
        if (setegid(getgid()) != 0 || setgid(getgid()) != 0 || seteuid(getuid()) != 0 ||
            setuid(getuid()) != 0)
            fatal("can't drop privileges: %.200s", strerror(errno));
        return;
    }
    gid_t gid = user->gid;
    if (setgroups(1, &gid) != 0)
        fatal("can't setgroups: %.200s", strerror(errno));
    if (setgid(gid) != 0)
        fatal("can't set group id: %.200s", strerror(errno));
    if (setuid(user->uid) != 0)
        fatal("can't set user id: %.200s", strerror(errno));
    // Read back: every id the user's, no other group, and root out of reach.
    if (getuid() != user->uid || geteuid() != user->uid || getgid() != gid ||
        getegid() != gid || !groups_are(gid) || setuid(0) == 0)
        fatal("can't drop privileges: still holding some of root's after becoming %s",
              user->name);
    privileges_dropped = 1;
}
