// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "rrd_make.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <rrd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "error.h"
#include "types.h"

int make_rrd_file_name(char *buffer, int room, int type, const char *argument)
{
    const stream_row *rule = stream_type_named(type) ? stream_row_of(type) : nullptr;
    if (rule == nullptr) {
        warning("%.200s:%d: internal error: type (%d) unknown", __FILE__, __LINE__, type);
        return 0;
    }
    int n = snprintf(buffer, static_cast<size_t>(room), "/%s%s.rrd", rule->file_prefix,
                     rule->argument ? argument : "");
    if (n < 0 || n >= room)
        return 0;
    // Arguments such as /dev/ada0p2 must not make directories.
    char *arg = buffer + 1 + strlen(rule->file_prefix);
    for (char *end = buffer + n - 4; arg < end; arg++)
        if (*arg == '/')
            *arg = '_';
    return 1;
}

int rrd_file_stream(const char *name, int *type, char *argument, size_t room)
{
    size_t length = strlen(name);
    if (length < 4 || strcmp(name + length - 4, ".rrd") != 0)
        return 0;
    length -= 4;
    size_t best = 0;
    *type = -1;
    for (int t = 0; t < STREAM_TYPE_COUNT; t++) {
        const stream_row *row = stream_row_of(t);
        if (!stream_type_named(t))
            continue;
        size_t prefix = strlen(row->file_prefix);
        if (strncmp(name, row->file_prefix, prefix) != 0 || (!row->argument && length != prefix))
            continue;
        // The longest prefix (cpuiow before cpu); of types that share one
        // (if and if1), the type they are sent as.
        if (prefix > best || (prefix == best && row->sent_as == t)) {
            best = prefix;
            *type = t;
        }
    }
    if (*type < 0 || length - best >= room)
        return 0;
    memcpy(argument, name + best, length - best);
    argument[length - best] = '\0';
    return 1;
}

const char *file_advice(int error)
{
    switch (error) {
    case ENOENT:
        return "make the folder, or correct the path";
    case EACCES:
    case EPERM:
        return "let the user colvo runs as write there";
    case ENOSPC:
    case EDQUOT:
        return "free some space there";
    case EROFS:
        return "mount it writable";
    case ENOTDIR:
        return "correct the path: part of it is a file";
    default:
        return "check the path";
    }
}

int make_folders(const char *path, const file_owner *to)
{
    char folder[PATH_MAX];
    int n = snprintf(folder, sizeof(folder), "%s", path);
    if (n < 0 || n >= static_cast<int>(sizeof(folder))) {
        errno = ENAMETOOLONG;
        return 0;
    }
    // Each prefix ending before a "/", then the whole path.
    for (char *p = folder + 1;; p++) {
        if (*p != '/' && *p != '\0')
            continue;
        char end = *p;
        *p = '\0';
        if (mkdir(folder, FOLDER_MODE) == 0) {
            if (to->change && chown(folder, to->uid, to->gid) != 0)
                return 0;
        } else if (errno != EEXIST) {
            return 0;
        }
        if (end == '\0')
            return 1;
        *p = end;
    }
}

static std::vector<std::string> definitions(int type, int step)
{
    std::vector<std::string> defs;
    int count = 0;
    const data_source *ds = stream_data_sources(type, &count);
    int heartbeat = HEARTBEAT_STEPS * step;
    for (int i = 0; i < count; i++) {
        char def[128];
        if (ds[i].kind == DS_COUNTER)
            snprintf(def, sizeof(def), "DS:%s:DERIVE:%d:0:U", ds[i].name, heartbeat);
        else
            snprintf(def, sizeof(def), "DS:%s:GAUGE:%d:U:U", ds[i].name, heartbeat);
        defs.push_back(def);
    }
    int full_rows = (2 * 86400 + step - 1) / step;
    int per_hour = step < 3600 ? 3600 / step : 1;
    const int year_rows = 366 * 24;
    defs.push_back("RRA:AVERAGE:0.5:1:" + std::to_string(full_rows));
    defs.push_back("RRA:AVERAGE:0.5:" + std::to_string(per_hour) + ":" + std::to_string(year_rows));
    defs.push_back("RRA:MAX:0.5:" + std::to_string(per_hour) + ":" + std::to_string(year_rows));
    return defs;
}

// The library can lose the reason of a failed write (a full file system
// gives no text): writing as much as the file would take, under the
// temporary name, finds it. Only ever run after a failure.
static int write_error(const char *trial, int type, int step)
{
    int count = 0;
    stream_data_sources(type, &count);
    long rows = (2L * 86400 + step - 1) / step + 2L * 366 * 24;
    long left = rows * count * 8 + 64 * 1024;
    FILE *f = fopen(trial, "w");
    if (f == nullptr)
        return errno;
    static char zeros[64 * 1024];
    int error = 0;
    for (; left > 0 && error == 0; left -= static_cast<long>(sizeof(zeros)))
        if (fwrite(zeros, sizeof(zeros), 1, f) != 1)
            error = errno ? errno : ENOSPC;
    if (fflush(f) != 0 && error == 0)
        error = errno;
    if (error == 0 && fsync(fileno(f)) != 0)
        error = errno;
    fclose(f);
    return error;
}

static int fail(char *why, size_t room, const char *reason, int error)
{
    snprintf(why, room, "%s - %s", reason, file_advice(error));
    return 0;
}

int rrd_make(const char *file, int type, int step, time_t start, const file_owner *to, char *why,
             size_t room)
{
    std::string temporary = std::string(file) + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0)
        return fail(why, room, strerror(errno), errno);
    close(fd);
    std::vector<std::string> defs = definitions(type, step);
    std::vector<const char *> argv;
    for (const std::string &d : defs)
        argv.push_back(d.c_str());
    rrd_clear_error();
    int made = rrd_create_r(temporary.c_str(), static_cast<unsigned long>(step), start,
                            static_cast<int>(argv.size()), argv.data()) == 0;
    int error = 0;
    std::string reason;
    if (!made) {
        const char *text = rrd_get_error();
        error = write_error(temporary.c_str(), type, step);
        reason = error ? strerror(error) : text && text[0] ? text : "no reason given";
        rrd_clear_error();
    } else {
        // The mode a file made anew gets, not mkstemp's owner-only one.
        mode_t mask = umask(0);
        umask(mask);
        if (chmod(temporary.c_str(), 0666 & ~mask) != 0 ||
            (to->change && chown(temporary.c_str(), to->uid, to->gid) != 0) ||
            rename(temporary.c_str(), file) != 0) {
            error = errno;
            reason = strerror(error);
            made = 0;
        }
    }
    if (made)
        return 1;
    unlink(temporary.c_str());
    return fail(why, room, reason.c_str(), error);
}
