// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-mkrrd: creates every missing round-robin database that a colvo
// configuration names, one data source per value of the stream's type, and
// the folders they go in. Existing files are never touched; one whose step
// differs from the one asked is reported. The step is the interval of the
// monitors that feed a source: one for all sources, or one per source, on
// the command line or in the source's section.
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
#include "rrd_make.h"
#include "types.h"

enum { STEP_MAX = 86400 };

static int default_step = SOURCE_STEP;
// (numeric source address, step); the last one given for a source wins.
static std::vector<std::pair<std::string, int>> source_steps;

// -s host=step, else the section's step, else -s step.
static int step_for(const source *src)
{
    int step = src->rules && src->rules->step ? src->rules->step : default_step;
    for (const auto &s : source_steps)
        if (s.first == src->name)
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
    resolved_host resolved;
    if (!getip(host.c_str(), AF_INET, &resolved) && !getip(host.c_str(), AF_INET6, &resolved)) {
        warning("could not resolve '%.200s'", host.c_str());
        return 0;
    }
    source_steps.emplace_back(resolved.host, static_cast<int>(step));
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

static file_owner colvo_owner()
{
    const passwd *pw = geteuid() == 0 ? getpwnam(COLVO_USER) : nullptr;
    return pw ? file_owner{1, pw->pw_uid, pw->pw_gid} : file_owner{0, 0, 0};
}

// Folders that could not be made: told once, however many files they hold.
static std::vector<std::string> failed_folders;

// The folder a file goes in, made when missing.
static int make_folder_of(const char *file, const file_owner *to)
{
    std::string folder(file, strrchr(file, '/') - file);
    struct stat st;
    if (folder.empty() || stat(folder.c_str(), &st) == 0)
        return 1;
    for (const std::string &f : failed_folders)
        if (f == folder)
            return 0;
    if (!make_folders(folder.c_str(), to)) {
        failed_folders.push_back(folder);
        warning("cannot make folder %.200s: %.200s - %.200s", folder.c_str(), strerror(errno),
                file_advice(errno));
        return 0;
    }
    info("made folder %.200s", folder.c_str());
    return 1;
}

static int create(const char *file, int type, int step, const file_owner *to)
{
    char why[256];
    if (!make_folder_of(file, to))
        return 0;
    if (!rrd_make(file, type, step, time(nullptr) - 10, to, why, sizeof(why))) {
        warning("cannot create %.200s: %.200s", file, why);
        return 0;
    }
    info("created %.200s: step %d s, heartbeat %d s", file, step, HEARTBEAT_STEPS * step);
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
    file_owner to = colvo_owner();
    for (const source *src = muxes.first->sources.first; src; src = src->next) {
        // Where colvo makes the databases its patterns take.
        if (src->rules && src->rules->datadir) {
            std::string any = std::string(src->rules->datadir) + "/";
            failures += !make_folder_of(any.c_str(), &to);
        }
        for (const stream *s = src->streams.first; s; s = s->next) {
            struct stat st;
            if (s->rrd_file == nullptr)
                continue;
            if (stat(s->rrd_file, &st) == 0)
                check_step(s->rrd_file, step_for(src));
            else
                failures += !create(s->rrd_file, s->type, step_for(src), &to);
        }
    }
    mux_list_free(&muxes);
    return failures ? 1 : 0;
}
