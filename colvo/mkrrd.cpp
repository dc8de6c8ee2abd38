// colvo-mkrrd: creates every missing round-robin database that a colvo
// configuration names, one data source per value of the stream's type.
// Existing files are never touched.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <libgen.h>
#include <rrd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "colvo.h"
#include "config.h"
#include "datasources.h"
#include "error.h"
#include "types.h"

enum { EXIT_USAGE = 64, DEFAULT_STEP = 5 };

// Two days at full resolution, then hourly averages and maxima for a year.
static std::vector<std::string> definitions(int type, int step)
{
    std::vector<std::string> defs;
    int count = 0;
    const data_source *ds = stream_data_sources(type, &count);
    int heartbeat = 4 * step;
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

static int create(const char *file, int type, int step)
{
    std::vector<std::string> defs = definitions(type, step);
    std::vector<const char *> argv;
    for (const std::string &d : defs)
        argv.push_back(d.c_str());
    rrd_clear_error();
    if (rrd_create_r(file, static_cast<unsigned long>(step), time(nullptr) - 10,
                     static_cast<int>(argv.size()), argv.data()) != 0) {
        warning("cannot create %.200s: %.200s", file, rrd_get_error());
        rrd_clear_error();
        return 0;
    }
    info("created %.200s", file);
    return 1;
}

int main(int argc, char **argv)
{
    const char *program = basename(argv[0]);
    const char *path = COLVO_CONFIG;
    int step = DEFAULT_STEP;
    int ch;
    while ((ch = getopt(argc, argv, "f:s:")) != -1) {
        switch (ch) {
        case 'f':
            path = optarg;
            break;
        case 's':
            step = atoi(optarg);
            if (step < 1) {
                info("usage: %s [-s step] [-f cfgfile]", program);
                exit(EXIT_USAGE);
            }
            break;
        default:
            info("usage: %s [-s step] [-f cfgfile]", program);
            exit(EXIT_USAGE);
        }
    }
    mux_list muxes = {};
    if (!load_config(&muxes, path, 0))
        fatal("configuration contained errors; quitting");
    int failures = 0;
    for (const source *src = muxes.first->sources.first; src; src = src->next)
        for (const stream *s = src->streams.first; s; s = s->next) {
            struct stat st;
            if (s->rrd_file == nullptr || stat(s->rrd_file, &st) == 0)
                continue;
            failures += !create(s->rrd_file, s->type, step);
        }
    mux_list_free(&muxes);
    return failures ? 1 : 0;
}
