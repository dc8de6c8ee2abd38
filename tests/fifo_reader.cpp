// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "fifo_reader.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

fifo_reader::fifo_reader(const std::string &path)
{
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

fifo_reader::~fifo_reader()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string fifo_reader::next_line(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p = {fd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return "<timeout>";
        char buf[65536];
        ssize_t n = read(fd_, buf, sizeof(buf));
        if (n > 0)
            pending_.append(buf, static_cast<size_t>(n));
    }
}
