// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-mkrrd: creates every missing round-robin database that a colvo
// configuration names, one data source per value of the stream's type.
// Existing files are never touched; one whose step differs from the one
// asked is reported. The step is the interval of the monitors that feed a
// source: one for all sources, or one per source.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <libgen.h>
#include <pwd.h>
#include <rrd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "readconf.h"
#include "config.h"
#include "error.h"
#include "net.h"
#include "types.h"

// Heartbeat in steps: three lost packets in a row still count.
enum { DEFAULT_STEP = 5, STEP_MAX = 86400, HEARTBEAT_STEPS = 4 };

static int default_step = DEFAULT_STEP;
// (numeric source address, step); the last one given for a source wins.
static std::vector<std::pair<std::string, int>> source_steps;

static int step_for(const char *source)
{
    int step = default_step;
    for (const auto &s : source_steps)
        if (s.first == source)
            step = s.second;
    return step;
}

// "-s step" for every source, "-s host=step" for one; 0 when malformed.
static int parse_step(const char *text)
{
    const char *equals = strrchr(text, '=');
    const char *number = equals ? equals + 1 : text;
    char *end = nullptr;
    long step = strtol(number, &end, 10);
    if (number[0] < '0' || number[0] > '9' || *end != '\0' || step < 1 || step > STEP_MAX)
        return 0;
    if (equals == nullptr) {
        default_step = static_cast<int>(step);
        return 1;
    }
    std::string host(text, equals);
    if (!getip(host.c_str(), AF_INET) && !getip(host.c_str(), AF_INET6)) {
        warning("could not resolve '%.200s'", host.c_str());
        return 0;
    }
    source_steps.emplace_back(numeric_host, static_cast<int>(step));
    return 1;
}

// The data source names of a type of one kind, blank-separated.
static std::string names_of_kind(int type, ds_kind kind)
{
    int count = 0;
    const data_source *ds = stream_data_sources(type, &count);
    std::string names;
    for (int i = 0; i < count; i++)
        if (ds[i].kind == kind)
            names += std::string(names.empty() ? "" : " ") + ds[i].name;
    return names;
}

// Two days at full resolution, then hourly averages and maxima for a year.
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
// gives no text): writing as much as the file would take, beside it, finds
// it. Only ever run after a failure.
static const char *failure_reason(const char *file, int type, int step)
{
    const char *text = rrd_get_error();
    if (text && text[0])
        return text;
    int count = 0;
    stream_data_sources(type, &count);
    long rows = (2L * 86400 + step - 1) / step + 2L * 366 * 24;
    long left = rows * count * 8 + 64 * 1024;
    std::string trial = std::string(file) + ".XXXXXX";
    int fd = mkstemp(&trial[0]);
    if (fd < 0)
        return strerror(errno);
    static char zeros[64 * 1024];
    int error = 0;
    for (ssize_t n; left > 0 && error == 0; left -= n)
        if ((n = write(fd, zeros, sizeof(zeros))) <= 0)
            error = n < 0 ? errno : ENOSPC;
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    close(fd);
    unlink(trial.c_str());
    return error ? strerror(error) : "no reason given";
}

// Run as root, the files go to the user colvo runs as, which writes them.
struct owner {
    int change;
    uid_t uid;
    gid_t gid;
};

static owner colvo_owner()
{
    const passwd *pw = geteuid() == 0 ? getpwnam(COLVO_USER) : nullptr;
    return pw ? owner{1, pw->pw_uid, pw->pw_gid} : owner{0, 0, 0};
}

static int create(const char *file, int type, int step, const owner *to)
{
    std::vector<std::string> defs = definitions(type, step);
    std::vector<const char *> argv;
    for (const std::string &d : defs)
        argv.push_back(d.c_str());
    rrd_clear_error();
    if (rrd_create_r(file, static_cast<unsigned long>(step), time(nullptr) - 10,
                     static_cast<int>(argv.size()), argv.data()) != 0) {
        warning("cannot create %.200s: %.200s", file, failure_reason(file, type, step));
        rrd_clear_error();
        return 0;
    }
    info("created %.200s: step %d s, heartbeat %d s", file, step, HEARTBEAT_STEPS * step);
    if (to->change && chown(file, to->uid, to->gid) != 0)
        warning("cannot give %.200s to user %s: %.200s", file, COLVO_USER, strerror(errno));
    const ds_kind kinds[] = {DS_GAUGE, DS_COUNTER};
    const char *kind_names[] = {"GAUGE", "DERIVE"};
    for (int k = 0; k < 2; k++) {
        std::string names = names_of_kind(type, kinds[k]);
        if (!names.empty())
            info("  data sources (%s): %.170s", kind_names[k], names.c_str());
    }
    return 1;
}

// An existing database is left as it is, but a step other than the one
// asked would average its monitors' values wrongly or mark them unknown.
static void check_step(const char *file, int step)
{
    rrd_clear_error();
    rrd_info_t *fields = rrd_info_r(file);
    unsigned long found = 0;
    for (const rrd_info_t *f = fields; f; f = f->next)
        if (strcmp(f->key, "step") == 0 && f->type == RD_I_CNT)
            found = f->value.u_cnt;
    rrd_info_free(fields);
    if (found == 0) {
        warning("cannot read %.200s: %.200s", file, rrd_get_error());
        rrd_clear_error();
    } else if (found != static_cast<unsigned long>(step)) {
        warning("%.200s: step is %lu s, not the %d s asked; left as it is", file, found, step);
    }
}

int main(int argc, char **argv)
{
    const char *program = basename(argv[0]);
    const char *path = COLVO_CONFIG;
    int ch;
    while ((ch = getopt(argc, argv, "f:s:")) != -1) {
        switch (ch) {
        case 'f':
            path = optarg;
            break;
        case 's':
            if (parse_step(optarg))
                break;
            [[fallthrough]];
        default:
            info("usage: %s [-s [source=]step] [-f cfgfile]", program);
            exit(EXIT_USAGE);
        }
    }
    mux_list muxes = {};
    if (!load_config(&muxes, path, 0))
        fatal("configuration contained errors; quitting");
    int failures = 0;
    owner to = colvo_owner();
    for (const source *src = muxes.first->sources.first; src; src = src->next)
        for (const stream *s = src->streams.first; s; s = s->next) {
            struct stat st;
            if (s->rrd_file == nullptr)
                continue;
            if (stat(s->rrd_file, &st) == 0)
                check_step(s->rrd_file, step_for(src->name));
            else
                failures += !create(s->rrd_file, s->type, step_for(src->name), &to);
        }
    mux_list_free(&muxes);
    return failures ? 1 : 0;
}
