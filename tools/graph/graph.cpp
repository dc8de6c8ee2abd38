// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-graph: draws the graphs of every database a colvo configuration
// names and writes them as a static site. Meant for cron: a run where no
// database changed draws nothing and only rewrites the pages.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <libgen.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "readconf.h"
#include "config.h"
#include "error.h"
#include "graph_html.h"
#include "graph_site.h"

// Read by the leak checker of sanitizer builds, unused otherwise. The
// graph library keeps some text of every call (made with vasprintf, which
// this program never calls itself), and the font libraries below it keep
// caches for the life of the process: not ours to free.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:librrd.so\nleak:__vasprintf_internal\nleak:libfontconfig.so\nleak:libpango\n";
}

[[noreturn]] static void usage(const char *program)
{
    info("usage: %s [-d] [-f cfgfile] -o outdir", program);
    exit(EXIT_USAGE);
}

int main(int argc, char **argv)
{
    const char *program = basename(argv[0]);
    const char *path = COLVO_CONFIG;
    const char *out = nullptr;
    int ch;
    while ((ch = getopt(argc, argv, "df:o:")) != -1) {
        switch (ch) {
        case 'd':
            debug_mode = 1;
            break;
        case 'f':
            path = optarg;
            break;
        case 'o':
            out = optarg;
            break;
        default:
            usage(program);
        }
    }
    if (out == nullptr || optind != argc)
        usage(program);
    if (mkdir(out, 0755) != 0 && errno != EEXIST)
        fatal("cannot make directory %.200s: %.200s", out, strerror(errno));

    // Databases are looked at here, file by file; colvo's checks of the
    // data directories are not needed for drawing.
    mux_list muxes = {};
    if (!load_config(&muxes, path, 0))
        fatal("configuration contained errors; quitting");
    std::vector<site_host> hosts = site_hosts(muxes.first);
    mux_list_free(&muxes);

    site_counts counts = {0, 0, 0};
    site_draw(out, hosts, &counts);
    int pages = site_write_pages(out, hosts);
    debug("%d images drawn, %d up to date, %d failed", counts.drawn, counts.current,
          counts.failed);
    return counts.failed == 0 && pages ? 0 : 1;
}
