// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo, the multiplexer: options, start-up, the receive loop and reload.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "auth_check.h"
#include "colvo_user.h"
#include "config.h"
#include "crc32.h"
#include "error.h"
#include "figures.h"
#include "intake.h"
#include "confread.h"
#include "lexer.h"
#include "live.h"
#include "output.h"
#include "pidfile.h"
#include "readconf.h"
#include "receiver.h"
#include "replay_state.h"
#include "signals.h"
#include "start.h"
#include "xmalloc.h"

// A socket closed by a reload is drained of at most this many batches.
enum { EXIT_QUIT = 75, FIFO_SIZE = 1024 * 1024, DRAIN_ROUNDS = 64 };

static int test_mode;
static int list_mode;
static int foreground;
static int keep_user;
static volatile sig_atomic_t reload_requested;
static volatile sig_atomic_t quit_signal;

static void on_hup(int)
{
    reload_requested = 1;
}

static void on_quit(int sig)
{
    quit_signal = sig;
}

static char *absolute_path(const char *name)
{
    if (name[0] == '/')
        return xstrdup(name);
    const char *cwd = start_directory();
    size_t length = strlen(cwd) + 1 + strlen(name) + 1;
    char *path = static_cast<char *>(xmalloc(length));
    snprintf(path, length, "%s/%s", cwd, name);
    return path;
}

static void list_files(const char *path)
{
    mux_list muxes = {};
    if (!load_config(&muxes, path, 0))
        fatal("configuration contained errors; quitting");
    if (muxes.first == nullptr)
        fatal("%s:%d: mux not found", __FILE__, __LINE__);
    for (const source *src = muxes.first->sources.first; src; src = src->next)
        for (const stream *s = src->streams.first; s; s = s->next)
            if (s->rrd_file)
                info("%.200s", s->rrd_file);
    mux_list_free(&muxes);
    exit(0);
}

// Where the system lets a FIFO hold more than its default 64 KiB, room
// for the lines of many hosts sending in the same moment while the reader
// is not scheduled (a line of ten interfaces is nearly 2 KiB).
#ifdef F_SETPIPE_SZ
static void grow_fifo(int fd)
{
    fcntl(fd, F_SETPIPE_SZ, FIFO_SIZE);
}
#else
static void grow_fifo(int) {}
#endif

static int open_fifo()
{
    if (unlink(COLVO_FIFO) != 0 && errno != ENOENT)
        fatal("cannot create fifo %s for reporting; %s", COLVO_FIFO, strerror(errno));
    if (mkfifo(COLVO_FIFO, 0644) != 0 || chmod(COLVO_FIFO, 0644) != 0)
        fatal("cannot create fifo %s for reporting; %s", COLVO_FIFO, strerror(errno));
    // Both ends held open: writes never block and never raise SIGPIPE.
    int fd = open(COLVO_FIFO, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fatal("cannot open fifo %s for reporting; %s", COLVO_FIFO, strerror(errno));
    grow_fifo(fd);
    return fd;
}

// With -F a supervisor (daemon(8) -r) has detached us and set up the
// standard streams; all else is as when detached. The pid file is
// written once colvo receives (daemon_ready).
static void detach()
{
    if (daemon_detach(foreground) != 0)
        fatal("daemonize failed");
    daemonized = 1;
    log_connect();
}

static void install_signals(signal_gate *signals)
{
    static const signal_action actions[] = {
        {SIGHUP, on_hup}, {SIGINT, on_quit}, {SIGQUIT, on_quit}, {SIGTERM, on_quit}};
    signal_gate_init(signals, actions, 4);
    // A write to a socket whose peer went away (rrdcached stopping or
    // crashing under the library) is an error return there, not our end.
    signal(SIGPIPE, SIG_IGN);
}

struct churn {
    char *buffer;
    int size;
};

static void size_churnbuffer(churn *c, const mux *m)
{
    int size = source_list_max_text_size(&m->sources);
    if (size < 1)
        size = 1;
    if (c->buffer && size == c->size)
        return;
    xfree(c->buffer);
    debug("size of churnbuffer = %d", size);
    c->buffer = static_cast<char *>(xmalloc(static_cast<size_t>(size)));
    c->size = size;
}

// The datagrams of the batch, checked and processed under the mux they
// came to, each where the kernel put it.
static void process_batch(const mux *m, receive_batch *b, churn *c, output_state *out)
{
    out->socket_dropped += b->dropped;
    figure_add(FIG_KERNEL_DROPS, b->dropped);
    for (int i = 0; i < b->count; i++) {
        datagram d = batch_datagram(b, i);
        source *src = nullptr;
        if (accept_datagram(m, &d, &src))
            process_packet(src, &d, c->buffer, c->size, out);
    }
}

// What a socket about to close still holds goes out under the
// configuration it came for. Bounded: a flood cannot hold the reload.
static void drain_socket(const mux *m, receiver *r, int slot, churn *c, output_state *out)
{
    for (int round = 0; round < DRAIN_ROUNDS && take_waiting(r, slot) > 0; round++)
        process_batch(m, &r->batch, c, out);
}

static int read_fresh(mux_list *fresh, const char *path, const void *running)
{
    return load_config(fresh, path, 1, static_cast<const mux *>(running));
}

// The live readers learn which sources there are, silent ones too.
static void tell_sources(live_server *live, const mux *m)
{
    if (live == nullptr)
        return;
    int count = 0;
    for (const source *src = m->sources.first; src; src = src->next)
        count++;
    const char **names = static_cast<const char **>(xmalloc(sizeof(char *) * static_cast<size_t>(count + 1)));
    count = 0;
    for (const source *src = m->sources.first; src; src = src->next)
        names[count++] = src->name;
    live_set_sources(live, names, count);
    xfree(names);
}

// Read, prepare, swap: the new configuration replaces the running one only
// once all of it is ready, its sockets bound beside the running ones (or
// carried over); until then nothing of the running one changes. 1 when the
// new configuration is in force.
static int reload(const char *path, mux_list *current, receiver *r, churn *c, output_state *out)
{
    mux *running = current->first;
    mux_list fresh;
    if (!reread_config(&fresh, path, read_fresh, running))
        return 0;
    // The receive size sizes the sockets' buffers too.
    int receive_size = mux_receive_size(fresh.first);
    socket_set sockets;
    int failures = 0;
    open_sockets(&sockets, fresh.first, receive_size, &r->sockets, &failures);
    if (failures) {
        info("new configuration cannot open its sockets; keeping old configuration");
        close_sockets(&sockets, &r->sockets);
        mux_list_free(&fresh);
        return 0;
    }
    info("read configuration file '%.100s' successfully", path);
    for (int slot = 0; slot < MUX_SOCKET_SLOTS; slot++) {
        if (r->sockets.fd[slot] == sockets.fd[slot])
            continue;
        if (r->sockets.fd[slot] != NO_FD)
            drain_socket(running, r, slot, c, out);
        // A new socket counts the kernel's drops from 0.
        r->batch.socket_drops[slot] = 0;
    }
    // After the draining, so that what it took is known to the new sources.
    carry_source_runs(fresh.first, running);
    close_sockets(&r->sockets, &sockets);
    r->sockets = sockets;
    // What the patterns took belongs to the sources being freed.
    sightings_clear(&out->taken);
    mux_list_free(current);
    *current = fresh;
    size_churnbuffer(c, current->first);
    receive_batch_size(&r->batch, receive_size);
    warn_unwritable_databases(current->first);
    tell_sources(out->fifo.live, current->first);
    return 1;
}

static int colvo_letter(int c)
{
    switch (c) {
    case 'F':
        foreground = 1;
        return 1;
    case 'l':
        list_mode = 1;
        return 1;
    case 'u':
        keep_user = 1;
        return 1;
    default:
        return 0;
    }
}

static const start_rules COLVO_START = {
    "colvo", "dFf:ltuv", "usage: %s [-d] [-l] [-v] [-f cfgfile]", COLVO_CONFIG, absolute_path,
    colvo_letter,
};

int main(int argc, char **argv)
{
    start_options options;
    daemon_start(&COLVO_START, argc, argv, &options);
    auth_started = log_clock(nullptr);
    test_mode = options.test_mode;
    char *path = options.config;

    if (list_mode)
        list_files(path);

    mux_list muxes = {};
    if (!load_config(&muxes, path, 1))
        fatal("configuration contained errors; quitting");
    if (test_mode) {
        info("%s: ok", path);
        exit(0);
    }

    run_as user = lookup_run_as(keep_user, "colvo");
    // Locked before the FIFO is recreated: a second instance touches
    // nothing. A debug run is refused beside a daemon but claims no pid file.
    pidfile pid;
    pidfile_lock(&pid, COLVO_PIDFILE);
    if (debug_mode)
        pidfile_remove(&pid);
    int fifo = open_fifo();
    // Beside the FIFO, while colvo may still create files there.
    static live_server live;
    live_open(&live, COLVO_SOCKET);
    // A debug run, a trial, takes no more than the daemon would, but leaves
    // the daemon's replay state as it was.
    crc32_init_table();
    replay_state replay;
    replay_state_open(&replay, COLVO_STATE, muxes.first, !debug_mode);
    tell_sources(&live, muxes.first);
    if (!debug_mode)
        detach();
    info("colvo version %s", VERSION);
    if (debug_mode)
        info("program id=%d", static_cast<int>(getpid()));

    churn c = {nullptr, 0};
    size_churnbuffer(&c, muxes.first);
    int receive_size = mux_receive_size(muxes.first);
    signal_gate signals;
    install_signals(&signals);
    static receiver r;
    receiver_init(&r);
    if (open_sockets(&r.sockets, muxes.first, receive_size) == 0)
        fatal("no sockets could be opened for incoming probo traffic");
    // All that needs root is done: no datagram is read as root.
    become_colvo_user(&user);
    warn_unwritable_databases(muxes.first);
    daemon_ready(&pid);

    output_state out;
    output_init(&out, fifo);
    out.fifo.live = &live;
    receive_batch_size(&r.batch, receive_size);
    for (;;) {
        // Lines of packets close in time share one write, none waits long.
        timespec left;
        const timespec *timeout = fifo_wait(&out.fifo, &left);
        if (timeout && timeout->tv_nsec == 0) {
            fifo_flush(&out.fifo);
            timeout = nullptr;
        }
        output_summarise(&out);
        auth_summarise(muxes.first, 0);
        replay_state_save(&replay, muxes.first, 0);
        wait_for_datagrams(&r, &signals, timeout, &live);
        if (quit_signal) {
            info("received signal %d - quitting", static_cast<int>(quit_signal));
            output_finish(&out);
            auth_summarise(muxes.first, 1);
            replay_state_save(&replay, muxes.first, 1);
            // Out of reach since the change of user (the run-state
            // directory is root's), the pid file is emptied instead.
            pidfile_remove(&pid);
            exit(EXIT_QUIT);
        }
        process_batch(muxes.first, &r.batch, &c, &out);
        if (reload_requested) {
            reload_requested = 0;
            info("hup received");
            reload(path, &muxes, &r, &c, &out);
        }
    }
}
