// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Reads the multiplexer's FIFO (or a live socket) line by line, waiting on
// the descriptor.
#pragma once

#include <string>

class fifo_reader {
  public:
    explicit fifo_reader(const std::string &path);
    // Takes the descriptor over.
    explicit fifo_reader(int fd) : fd_(fd) {}
    ~fifo_reader();
    bool is_open() const { return fd_ >= 0; }
    // The next whole line without its newline, or "<timeout>".
    std::string next_line(int timeout_ms = 5000);

  private:
    int fd_ = -1;
    std::string pending_;
};
