// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The daemons' common start: descriptors 0 to 2 held, the reset, the
// inherited descriptors closed, the options.
#include "start.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <libgen.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config.h"
#include "error.h"
#include "pidfile.h"
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

// The write end of the pipe the starting process waits on; -1 when none.
static int ready_pipe = -1;

// In the starting process: a byte when the daemon is ready, the end of
// the pipe when it ended before.
[[noreturn]] static void wait_until_ready(int from, pid_t daemon)
{
    char byte;
    ssize_t n;
    do
        n = read(from, &byte, 1);
    while (n < 0 && errno == EINTR);
    if (n == 1)
        _exit(0);
    int status = 0;
    if (waitpid(daemon, &status, 0) == daemon && WIFEXITED(status))
        _exit(WEXITSTATUS(status));
    _exit(1);
}

int daemon_detach(int foreground)
{
    if (foreground)
        return chdir("/");
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    pid_t daemon = fork();
    if (daemon < 0) {
        close(ready[0]);
        close(ready[1]);
        return -1;
    }
    if (daemon > 0) {
        close(ready[1]);
        wait_until_ready(ready[0], daemon);
    }
    close(ready[0]);
    ready_pipe = ready[1];
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (setsid() < 0 || chdir("/") != 0 || null < 0)
        return -1;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
        dup2(null, fd);
    if (null > STDERR_FILENO)
        close(null);
    return 0;
}

void daemon_ready(pidfile *pid)
{
    pidfile_write(pid);
    if (ready_pipe < 0)
        return;
    char byte = 1;
    ssize_t n;
    do
        n = write(ready_pipe, &byte, 1);
    while (n < 0 && errno == EINTR);
    close(ready_pipe);
    ready_pipe = -1;
}
