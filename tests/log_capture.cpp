// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "log_capture.h"

#include <cstdarg>
#include <cstdio>

#include "error.h"

static std::vector<logged> captured;

static void record(int priority, const char *format, ...)
{
    char text[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    captured.push_back({priority, text});
}

log_capture::log_capture(bool with_debug)
    : saved_debug_(debug_mode), saved_daemonized_(daemonized), saved_sink_(log_syslog)
{
    captured.clear();
    log_limit_reset();
    debug_mode = with_debug ? 1 : 0;
    daemonized = 1;
    log_syslog = record;
}

log_capture::~log_capture()
{
    debug_mode = saved_debug_;
    daemonized = saved_daemonized_;
    log_syslog = saved_sink_;
}

const std::vector<logged> &log_capture::lines() const { return captured; }

bool log_capture::has(const std::string &text) const
{
    return count(text) > 0;
}

int log_capture::count(const std::string &text) const
{
    int n = 0;
    for (const logged &l : captured)
        n += l.text == text;
    return n;
}

bool log_capture::contains(const std::string &fragment) const
{
    for (const logged &l : captured)
        if (l.text.find(fragment) != std::string::npos)
            return true;
    return false;
}

void log_capture::clear() { captured.clear(); }

std::string log_capture::dump() const
{
    std::string all;
    for (const logged &l : captured)
        all += std::to_string(l.priority) + " " + l.text + "\n";
    return all;
}
