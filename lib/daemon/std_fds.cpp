// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The standard descriptors made safe to rely on: none of 0 to 2 is left
// free for the daemon's own files.
#include "std_fds.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "error.h"

void open_std_fds()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor, so this one: those below it are open.
        int opened = open("/dev/null", O_RDWR);
        if (opened < 0)
            fatal("cannot open /dev/null: %.200s", strerror(errno));
    }
}
