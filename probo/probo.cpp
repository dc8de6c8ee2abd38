// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// probo, the monitor: options, start-up, privilege drop, signals and the
// measurement loop with reload.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "config.h"
#include "confread.h"
#include "crc32.h"
#include "discover.h"
#include "error.h"
#include "lexer.h"
#include "net.h"
#include "pidfile.h"
#include "privdrop.h"
#include "signals.h"
#include "start.h"
#include "probo.h"
#include "xmalloc.h"

enum { EXIT_QUIT = 1 };

static int test_mode;
static int unprivileged_mode;
static volatile sig_atomic_t reload_requested;
static volatile sig_atomic_t quit_signal;
static volatile sig_atomic_t alarm_fired;
static int tick;
static int armed_tick; // the timer's period, 0 before it is armed
static time_t measurement_time;
static discovery found;

// Handlers only note what happened; the loop reports and acts.
static void on_alarm(int)
{
    alarm_fired = 1;
}

static void on_hup(int)
{
    reload_requested = 1;
}

static void on_quit(int sig)
{
    quit_signal = sig;
}

struct privsep_user {
    uid_t uid;
    gid_t group;
    char *home;
};

// Looked up while still on the terminal, so that a missing user or home
// directory is reported there with status 1, not lost after detaching.
static privsep_user lookup_privsep_user()
{
    errno = 0;
    passwd *pw = getpwnam(PROBO_USER);
    if (pw == nullptr)
        fatal("could not get user information for user '%.200s': %.200s", PROBO_USER,
              errno ? strerror(errno) : "no such user");
    struct stat st;
    if (stat(pw->pw_dir, &st) != 0)
        fatal("chroot failed: %.200s", strerror(errno));
    if (!S_ISDIR(st.st_mode))
        fatal("chroot failed: %.200s", strerror(ENOTDIR));
    return {pw->pw_uid, pw->pw_gid, xstrdup(pw->pw_dir)};
}

// Into the user's home, then the user (privdrop.h).
static void become_privsep_user(const privsep_user *user)
{
    if (!unprivileged_mode) {
        if (chroot(user->home) != 0)
            fatal("chroot failed: %.200s", strerror(errno));
        if (chdir("/") != 0)
            fatal("chdir / failed: %.200s", strerror(errno));
    }
    run_as as = {!unprivileged_mode, user->uid, user->group, PROBO_USER};
    drop_privileges(&as);
}

// Local addresses as numbers: a name cannot be resolved inside the chroot.
static void numeric_from_addresses(mux_list *list)
{
    for (mux *m = list->first; m; m = m->next) {
        if (m->from_address == nullptr)
            continue;
        resolved_host host;
        if (!getip(m->from_address, AF_INET, &host) && !getip(m->from_address, AF_INET6, &host))
            fatal("could not resolve '%.200s'", m->from_address);
        xfree(m->from_address);
        m->from_address = xstrdup(host.host);
    }
}

static void install_signals(sigset_t *wait_mask)
{
    static const signal_action actions[] = {{SIGALRM, on_alarm}, {SIGHUP, on_hup},
                                            {SIGINT, on_quit},   {SIGQUIT, on_quit},
                                            {SIGTERM, on_quit}};
    install_signal_actions(actions, 5, wait_mask);
    // A write to a closed socket is an error return where it is made.
    signal(SIGPIPE, SIG_IGN);
}

static void setup_senders(const mux_list *list, sender_list *senders)
{
    if (list->first == nullptr)
        fatal("empty mux list");
    tick = mux_list_tick(list);
    for (sender *to = senders->first; to; to = to->next) {
        sender_size_packet(to);
        open_sender_socket(to);
        for (stream *s = to->m->streams.first; s; s = s->next)
            probe_table[s->type].start(s);
    }
    // Re-arming restarts the period: with the same tick the running timer
    // keeps the rhythm, so a burst of reloads cannot stop the measurements.
    if (tick == armed_tick)
        return;
    armed_tick = tick;
    itimerval timer;
    timer.it_interval.tv_sec = tick;
    timer.it_interval.tv_usec = 0;
    timer.it_value = timer.it_interval;
    if (setitimer(ITIMER_REAL, &timer, nullptr) != 0)
        fatal("alarm setup failed: %.200s", strerror(errno));
}

// How often the configuration read anew says to look for what the
// patterns stand for.
static int fresh_period;

static int read_fresh(mux_list *fresh, const char *path, const void *)
{
    if (!read_config(fresh, path, &fresh_period))
        return 0;
    // A file caught half-written may hold no statement yet.
    if (fresh->first == nullptr) {
        warning("empty mux list");
        return 0;
    }
    return 1;
}

static void reload(const char *path, mux_list *current, sender_list *senders)
{
    if (!unprivileged_mode) {
        info("configuration unreachable because of privsep; keeping old configuration");
        return;
    }
    mux_list fresh;
    if (!reread_config(&fresh, path, read_fresh, nullptr))
        return;
    sender_list next = {};
    sender_list_make(&next, &fresh);
    sender_list_carry(&next, senders);
    discovery_forget(&found);
    sender_list_free(senders);
    mux_list_free(current);
    *current = fresh;
    *senders = next;
    info("read configuration file '%.200s' successfully", path);
    setup_senders(current, senders);
    found.period = fresh_period;
    discover(&found, senders, time(nullptr));
}

static char *copy_path(const char *argument)
{
    return xstrdup(argument);
}

static int probo_letter(int c)
{
    if (c != 'u')
        return 0;
    unprivileged_mode = 1;
    return 1;
}

static const start_rules PROBO_START = {
    "probo", "df:tuv", "usage: %s [-d] [-t] [-u] [-v] [-f cfgfile]", PROBO_CONFIG, copy_path,
    probo_letter,
};

int main(int argc, char **argv)
{
    unprivileged_mode = 0;
    start_options options;
    daemon_start(&PROBO_START, argc, argv, &options);
    test_mode = options.test_mode;
    char *path = options.config;

    mux_list muxes = {};
    if (!read_config(&muxes, path, &found.period))
        fatal("configuration file contained errors - aborting");
    if (test_mode) {
        info("%s: ok", path);
        exit(0);
    }

    for (const mux *m = muxes.first; m; m = m->next) {
        for (const stream *s = m->streams.first; s; s = s->next)
            probe_table[s->type].in_use = 1;
        for (const stream_pattern *p = m->patterns.first; p; p = p->next)
            probe_table[p->type].in_use = 1;
    }
    for (probe_entry &entry : probe_table)
        if (entry.in_use && entry.prepare)
            entry.prepare();

    privsep_user user = {};
    if (!unprivileged_mode)
        user = lookup_privsep_user();
    numeric_from_addresses(&muxes);
    sender_list senders = {};
    sender_list_make(&senders, &muxes);
    sender_list_carry(&senders, nullptr);

    pidfile pid;
    if (!pidfile_lock(&pid, PROBO_PIDFILE))
        warning("could not open \"%.200s\", %.200s", PROBO_PIDFILE, strerror(errno));
    // A debug run is refused beside a daemon but claims no pid file.
    if (debug_mode) {
        pidfile_remove(&pid);
    } else {
        if (daemon_detach(0) != 0)
            fatal("daemonize failed: %.200s", strerror(errno));
        daemonized = 1;
        log_connect();
    }

    become_privsep_user(&user);
    info("probo version %s", VERSION);
    if (debug_mode)
        info("program id=%d", static_cast<int>(getpid()));
    sigset_t wait_mask;
    install_signals(&wait_mask);
    crc32_init_table();
    setup_senders(&muxes, &senders);
    discover(&found, &senders, time(nullptr));
    // Sockets bound and the timer armed: whoever started probo may go on.
    daemon_ready(&pid);

    time_t last_measurement = time(nullptr);
    for (;;) {
        timespec sleep_time = {2 * tick, 0};
        pselect(0, nullptr, nullptr, nullptr, &sleep_time, &wait_mask);
        if (quit_signal) {
            info("received signal %d - quitting", static_cast<int>(quit_signal));
            report_send_errors(&senders);
            pidfile_remove(&pid);
            exit(EXIT_QUIT);
        }
        time_t now = time(nullptr);
        measurement_time = now;
        if (reload_requested) {
            reload_requested = 0;
            info("hup received");
            reload(path, &muxes, &senders);
            // The timer's tick may have come in the same wake-up.
            if (!alarm_fired)
                continue;
        }
        alarm_fired = 0;
        switch (decide_measurement(now, last_measurement, tick)) {
        case MEASURE_SKIP:
            debug("did not sleep %d seconds - skipping a measurement", tick);
            continue;
        case MEASURE_TIME_CHANGE:
            info("last update seems long ago - assuming system time change");
            break;
        case MEASURE_NORMAL:
            break;
        }
        last_measurement = now;
        if (now >= found.next_look || now < found.next_look - found.period)
            discover(&found, &senders, now);
        if (senders.first)
            measure(&senders, measurement_time, tick, &found);
    }
}
