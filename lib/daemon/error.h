// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Logging shared by both daemons. Four levels; before a daemon detaches
// (and always in debug mode) messages go to the terminal, afterwards to
// syslog. Every message is cut to 200 characters, and formatting uses only
// stack buffers: the daemons log on every packet.
#pragma once

#include <cstdarg>
#include <ctime>

enum log_level_number {
    LOG_LEVEL_FATAL = 0,
    LOG_LEVEL_WARNING = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_DEBUG = 3,
};

struct log_level {
    int level;
    int priority;     // syslog priority
    const char *name; // printed before the text on a terminal; "" for none
    int to_stdout;    // set: stdout, clear: stderr
};

extern const log_level log_levels[];

// Owned by each daemon's main: -d, and "has detached".
extern int debug_mode;
extern int daemonized;

// Where messages go once daemonized; tests point it elsewhere.
extern void (*log_syslog)(int priority, const char *format, ...);
// Connects to the system log at once, with the default identity and
// facility: called before a chroot, which would leave the log unreachable.
void log_connect();

// Warnings that anyone on the network can cause are rate-limited, by the
// owner they are told for (colvo: the source of the datagram in hand, the
// live socket): each (owner, message format) pair shows LOG_LIMIT_BURST
// messages per window; the rest are counted, and one line "<message>: %d
// more in the last %d s" reports them when that warning comes again after
// the window (or when its slot is needed for another pair).
enum { LOG_LIMIT_BURST = 5, LOG_LIMIT_WINDOW = 60, LOG_LIMIT_SLOTS = 64 };
// The clock of the limits; tests set it.
extern time_t (*log_clock)(time_t *);
// Forgets every window (tests).
void log_limit_reset();

// The status of a wrong command line, every program's (sysexits' EX_USAGE);
// fatal ends with 1.
enum { EXIT_USAGE = 64 };

[[noreturn]] void fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));
void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A warning limited for its owner; a null owner is not limited.
void limited_warning(const void *owner, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void info(const char *format, ...) __attribute__((format(printf, 1, 2)));
void debug(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_message(int level, const char *format, va_list ap);
