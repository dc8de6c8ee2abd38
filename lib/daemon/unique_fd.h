// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A descriptor that closes itself on every path that does not hand it on.
#pragma once

#include <unistd.h>

// No descriptor, wherever a descriptor may be missing.
enum { NO_FD = -1 };

struct unique_fd {
    int fd;
    explicit unique_fd(int descriptor = NO_FD) : fd(descriptor) {}
    ~unique_fd()
    {
        if (fd >= 0)
            close(fd);
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int release()
    {
        int kept = fd;
        fd = NO_FD;
        return kept;
    }
};
