// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The daemons' common start: descriptors 0 to 2 held, the reset, the
// inherited descriptors closed, the options.
#include "start.h"

#include <cstdlib>
#include <libgen.h>
#include <unistd.h>

#include "config.h"
#include "error.h"
#include "std_fds.h"
#include "xmalloc.h"

[[noreturn]] static void usage(const start_rules *rules, const char *program)
{
    info(rules->usage, program);
    exit(EXIT_USAGE);
}

void daemon_start(const start_rules *rules, int argc, char **argv, start_options *out)
{
    open_std_fds();
    debug_mode = 0;
    daemonized = 0;
    // Descriptors inherited from whoever started us would stay open, in the
    // monitor's chroot too, for the life of the daemon.
    closefrom(STDERR_FILENO + 1);
    out->program = basename(argv[0]);
    out->config = xstrdup(rules->config);
    out->test_mode = 0;

    int ch;
    while ((ch = getopt(argc, argv, rules->letters)) != -1) {
        switch (ch) {
        case 'd':
            debug_mode = 1;
            break;
        case 'f':
            xfree(out->config);
            out->config = rules->config_path(optarg);
            break;
        case 't':
            out->test_mode = 1;
            break;
        case 'v':
            info("%s version %s", rules->name, VERSION);
            usage(rules, out->program);
        default:
            if (!rules->letter(ch))
                usage(rules, out->program);
        }
    }
}
