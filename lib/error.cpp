#include "error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

int debug_mode = 0;
int daemonized = 0;
void (*log_syslog)(int, const char *, ...) = syslog;

const log_level log_levels[] = {
    {LOG_LEVEL_FATAL, LOG_ERR, "fatal", 0},
    {LOG_LEVEL_WARNING, LOG_WARNING, "warning", 0},
    {LOG_LEVEL_INFO, LOG_INFO, "", 1},
    {LOG_LEVEL_DEBUG, LOG_DEBUG, "debug", 1},
    {-1, 0, nullptr, 0},
};

enum { LOG_BUFFER = 2048, LOG_CUT = 200 };

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

void log_message(int level, const char *format, va_list ap)
{
    if (level == LOG_LEVEL_DEBUG && !debug_mode)
        return;

    char message[LOG_BUFFER];
    vsnprintf(message, sizeof(message), format, ap);

    const log_level *row = log_levels;
    while (row->level != -1 && row->level != level)
        row++;
    if (row->level == -1)
        fatal("%s:%d:internal error: illegal loglevel encountered", __FILE__, __LINE__);

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
