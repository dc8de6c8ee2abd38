// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Giving up root, for both daemons: once each has done what needs root, it
// becomes its own user with that user's group alone, and reads every id
// back; anything of root left is fatal, before the first packet.
#pragma once

#include <sys/types.h>

struct run_as {
    int change; // 0: stay the user that started the daemon, less any set-id privilege
    uid_t uid;
    gid_t gid;
    const char *name; // the user's, for the messages
};

// setgroups, setgid, setuid, then each id read back and root's setuid(0)
// tried: fatal when any call fails or any id differs. Without a change,
// the real ids are made the effective ones, fatal when that fails.
void drop_privileges(const run_as *user);
// Set once the daemon has given up root: what needs it now fails.
extern int privileges_dropped;
