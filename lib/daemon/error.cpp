// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

int debug_mode = 0;
int daemonized = 0;
void (*log_syslog)(int, const char *, ...) = syslog;
time_t (*log_clock)(time_t *) = time;

const log_level log_levels[] = {
    {LOG_LEVEL_FATAL, LOG_ERR, "fatal", 0},
    {LOG_LEVEL_WARNING, LOG_WARNING, "warning", 0},
    {LOG_LEVEL_INFO, LOG_INFO, "", 1},
    {LOG_LEVEL_DEBUG, LOG_DEBUG, "debug", 1},
    {-1, 0, nullptr, 0},
};

enum { LOG_BUFFER = 2048, LOG_CUT = 200, LIMIT_TEXT = 128 };

struct limit_slot {
    const void *owner;
    const char *format;
    time_t window_start;
    time_t last_seen;
    int shown;
    int suppressed;
    char text[LIMIT_TEXT]; // the last suppressed message, for the summary
};

static limit_slot limit_slots[LOG_LIMIT_SLOTS];

static void write_all(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// Control characters from users, files and peers are shown escaped, so a
// message stays one line and cannot pose as another; a backslash is doubled
// so the escapes stay unambiguous.
static void escape_controls(const char *in, char *out, size_t size)
{
    size_t n = 0;
    for (; *in; in++) {
        unsigned char c = static_cast<unsigned char>(*in);
        char escaped[5];
        if (c == '\\')
            snprintf(escaped, sizeof(escaped), "\\\\");
        else if (c == '\n')
            snprintf(escaped, sizeof(escaped), "\\n");
        else if (c == '\t')
            snprintf(escaped, sizeof(escaped), "\\t");
        else if (c == '\r')
            snprintf(escaped, sizeof(escaped), "\\r");
        else if (c < 0x20 || c == 0x7f)
            snprintf(escaped, sizeof(escaped), "\\%03o", c);
        else
            escaped[0] = static_cast<char>(c), escaped[1] = '\0';
        size_t length = strlen(escaped);
        if (n + length >= size)
            break;
        memcpy(out + n, escaped, length);
        n += length;
    }
    out[n] = '\0';
}

void log_connect()
{
    openlog(nullptr, LOG_NDELAY, LOG_USER);
}

void log_limit_reset()
{
    memset(limit_slots, 0, sizeof(limit_slots));
}

static void emit(const log_level *row, const char *message);

static void summarise(const log_level *row, const limit_slot *slot, time_t now)
{
    if (slot->suppressed == 0)
        return;
    char summary[LOG_BUFFER];
    snprintf(summary, sizeof(summary), "%s: %d more in the last %d s", slot->text,
             slot->suppressed, static_cast<int>(now - slot->window_start));
    emit(row, summary);
}

// The slot of (owner, format): its own, else a free one, else the one
// seen least recently, whose count is reported before it is reused.
static limit_slot *limit_slot_for(const log_level *row, const void *owner, const char *format,
                                  time_t now)
{
    limit_slot *oldest = &limit_slots[0];
    for (limit_slot &slot : limit_slots) {
        if (slot.owner == owner && slot.format == format)
            return &slot;
        if (slot.format == nullptr || slot.last_seen < oldest->last_seen)
            oldest = &slot;
        if (slot.format == nullptr)
            break;
    }
    if (oldest->format)
        summarise(row, oldest, now);
    memset(oldest, 0, sizeof(*oldest));
    oldest->owner = owner;
    oldest->format = format;
    oldest->window_start = now;
    return oldest;
}

// 1 when the message is to be shown.
static int within_limit(const log_level *row, const void *owner, const char *format,
                        const char *message)
{
    time_t now = log_clock(nullptr);
    limit_slot *slot = limit_slot_for(row, owner, format, now);
    slot->last_seen = now;
    if (now - slot->window_start >= LOG_LIMIT_WINDOW || now < slot->window_start) {
        summarise(row, slot, now);
        slot->window_start = now;
        slot->shown = 0;
        slot->suppressed = 0;
    }
    if (slot->shown < LOG_LIMIT_BURST) {
        slot->shown++;
        return 1;
    }
    slot->suppressed++;
    snprintf(slot->text, sizeof(slot->text), "%.*s", LIMIT_TEXT - 1, message);
    return 0;
}

static void log_owned(int level, const void *owner, const char *format, va_list ap)
{
    if (level == LOG_LEVEL_DEBUG && !debug_mode)
        return;

    char raw[LOG_BUFFER], message[LOG_BUFFER];
    vsnprintf(raw, sizeof(raw), format, ap);
    escape_controls(raw, message, sizeof(message));

    const log_level *row = log_levels;
    while (row->level != -1 && row->level != level)
        row++;
    if (row->level == -1)
        fatal("%s:%d:internal error: illegal loglevel encountered", __FILE__, __LINE__);

    if (level == LOG_LEVEL_WARNING && owner && !within_limit(row, owner, format, message))
        return;
    emit(row, message);
}

void log_message(int level, const char *format, va_list ap)
{
    log_owned(level, nullptr, format, ap);
}

void limited_warning(const void *owner, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_owned(LOG_LEVEL_WARNING, owner, format, ap);
    va_end(ap);
}

static void emit(const log_level *row, const char *message)
{
    if (daemonized) {
        log_syslog(row->priority, "%.200s", message);
        return;
    }
    // One write per message, so lines from a dying process stay whole.
    char line[2 * LOG_CUT + 4];
    int n;
    if (row->name[0] != '\0')
        n = snprintf(line, sizeof(line), "%.200s: %.200s\n", row->name, message);
    else
        n = snprintf(line, sizeof(line), "%.200s\n", message);
    if (n > 0)
        write_all(row->to_stdout ? STDOUT_FILENO : STDERR_FILENO, line,
                  static_cast<size_t>(n) < sizeof(line) ? static_cast<size_t>(n) : sizeof(line) - 1);
}

void fatal(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_message(LOG_LEVEL_FATAL, format, ap);
    va_end(ap);
    exit(1);
}

#define LOG_AT(fn, level)                      \
    void fn(const char *format, ...)           \
    {                                          \
        va_list ap;                            \
        va_start(ap, format);                  \
        log_message(level, format, ap);        \
        va_end(ap);                            \
    }

LOG_AT(warning, LOG_LEVEL_WARNING)
LOG_AT(info, LOG_LEVEL_INFO)
LOG_AT(debug, LOG_LEVEL_DEBUG)
