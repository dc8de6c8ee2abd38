// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Records what the logging module would send to syslog, so tests can check
// exact messages without a terminal or a syslog daemon.
#pragma once

#include <string>
#include <vector>

struct logged {
    int priority;
    std::string text;
};

class log_capture {
  public:
    explicit log_capture(bool with_debug = true);
    ~log_capture();
    const std::vector<logged> &lines() const;
    // 1 when some message equals text exactly.
    bool has(const std::string &text) const;
    // 1 when some message contains the fragment.
    bool contains(const std::string &fragment) const;
    int count(const std::string &text) const;
    void clear();
    std::string dump() const;

  private:
    int saved_debug_;
    int saved_daemonized_;
    void (*saved_sink_)(int, const char *, ...);
};
