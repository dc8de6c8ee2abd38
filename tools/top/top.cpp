// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-top: a live view of colvo's lines, one row per host, read from its
// live socket (or, with -p, its FIFO). On a terminal it is an ncurses
// table with colvo's figures in the status line; otherwise it prints one
// line per host every second. It connects again, or reopens the FIFO,
// when colvo goes away or makes a new one.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <curses.h>
#include <fcntl.h>
#include <libgen.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "config.h"
#include "error.h"
#include "events.h"
#include "figures.h"
#include "line_reader.h"
#include "signals.h"
#include "top_screen.h"
#include "top_table.h"
#include "top_view.h"
#include "unique_fd.h"

enum { STATUS_TEXT = 512 };

static volatile sig_atomic_t quit_requested;

static void on_quit(int)
{
    quit_requested = 1;
}

static double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// The live socket or the FIFO, and the part of a line read so far.
struct fifo_input {
    const char *path;
    int is_socket = 1;
    int fd = -1;
    ino_t inode = 0;
    line_reader lines;

    fifo_input() { line_reader_init(&lines); }
    ~fifo_input()
    {
        if (fd >= 0)
            close(fd);
        line_reader_free(&lines);
    }

    void shut()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        line_reader_reset(&lines);
    }

    // Connects to the socket when not connected.
    void connect_socket()
    {
        if (fd >= 0)
            return;
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof(a.sun_path), "%s", path);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0)
            shut();
    }

    // Opens the FIFO when it is not open or colvo made a new one.
    void check()
    {
        if (is_socket) {
            connect_socket();
            return;
        }
        struct stat st;
        if (stat(path, &st) != 0) {
            shut();
            return;
        }
        if (fd >= 0 && st.st_ino == inode)
            return;
        shut();
        // Non-blocking: opening waits for no writer.
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        inode = st.st_ino;
    }
};

// colvo's figures, from its last figures line on the socket.
static uint64_t figures[FIGURE_COUNT];
static int have_figures;

static void take_line(void *table, const char *line, size_t length)
{
    if (length > 0 && line[0] == FIGURES_MARK)
        have_figures |= figures_read(line, length, figures);
    else
        top_table_line(static_cast<top_table *>(table), line, length, now());
}

static void read_fifo(fifo_input *in, top_table *t)
{
    // No writer left, or the socket closed: colvo went away. Opened again
    // at the next second.
    if (!line_reader_read(&in->lines, in->fd, take_line, t))
        in->shut();
}

static unsigned long long dropped_datagrams()
{
    unsigned long long n = 0;
    for (const figure_row &r : FIGURE_ROWS)
        if (r.label && (strcmp(r.metric, FIGURE_ROWS[FIG_UNKNOWN_SENDER].metric) == 0 ||
                        strcmp(r.metric, FIGURE_ROWS[FIG_UNSIGNED].metric) == 0))
            n += figures[r.id];
    return n;
}

static void figures_text(char *buf, size_t room)
{
    snprintf(buf, room, "colvo: %llu received, %llu accepted, %llu dropped, %llu lines lost",
             static_cast<unsigned long long>(figures[FIG_RECEIVED]),
             static_cast<unsigned long long>(figures[FIG_ACCEPTED]), dropped_datagrams(),
             static_cast<unsigned long long>(figures[FIG_FIFO_DROPPED] + figures[FIG_SOCKET_DROPPED]));
}

static void print_hosts(const top_table *t, double at)
{
    for (int i = 0; i < t->count; i++) {
        top_row r;
        char line[512];
        top_row_fill(&r, &t->hosts[i], at);
        top_plain_line(line, sizeof(line), &t->hosts[i], &r);
        printf("%s\n", line);
    }
    if (have_figures) {
        char line[256];
        figures_text(line, sizeof(line));
        printf("%s\n", line);
    }
    fflush(stdout);
}

static void status_text(char *buf, size_t room, const fifo_input *in, const top_table *t)
{
    char colvo[256] = "";
    if (have_figures) {
        colvo[0] = ' ';
        colvo[1] = ' ';
        figures_text(colvo + 2, sizeof(colvo) - 2);
    }
    if (in->fd < 0)
        snprintf(buf, room, "waiting for %s   q quit", in->path);
    else
        snprintf(buf, room, "%s: %ld lines, %ld unreadable%s   q quit  j/k select  Enter streams",
                 in->path, t->lines, t->skipped, colvo);
}

int main(int argc, char **argv)
{
    const char *program = basename(argv[0]);
    fifo_input in;
    in.path = COLVO_SOCKET;
    int ch, usage = 0;
    while ((ch = getopt(argc, argv, "p:s:")) != -1) {
        usage |= ch != 'p' && ch != 's';
        in.path = optarg;
        in.is_socket = ch == 's';
    }
    if (usage || optind != argc) {
        info("usage: %s [-p fifo | -s socket]", program);
        exit(EXIT_USAGE);
    }

    // Installed before ncurses, which then leaves them alone.
    static const signal_action actions[] = {
        {SIGINT, on_quit}, {SIGTERM, on_quit}, {SIGHUP, on_quit}};
    signal_gate signals;
    signal_gate_init(&signals, actions, 3);

    int terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    top_screen screen = {};
    if (terminal)
        screen_start();
    top_table table = {};
    double next_tick = now();
    int running = 1;
    int redraw = 1;
    while (running && !quit_requested) {
        double at = now();
        if (at >= next_tick) {
            in.check();
            if (!terminal)
                print_hosts(&table, at);
            redraw = 1;
            next_tick = floor(at) + 1;
        }
        if (terminal && redraw) {
            char status[STATUS_TEXT];
            status_text(status, sizeof(status), &in, &table);
            screen_draw(&screen, &table, at, status);
            redraw = 0;
        }
        event_set e;
        events_clear(&e);
        int lines = events_watch(&e, in.fd, 1, 0);
        int keys = events_watch(&e, terminal ? STDIN_FILENO : NO_FD, 1, 0);
        double wait = next_tick - now();
        timespec timeout = {0, wait > 0 ? static_cast<long>(wait * 1e9) : 0};
        if (events_wait(&e, &signals, &timeout) <= 0)
            continue;
        if (in.fd >= 0 && events_readable(&e, lines))
            read_fifo(&in, &table);
        // The terminal hung up (its window closed) or failed: nothing more
        // can come from it or be shown on it.
        if (events_ended(&e, keys))
            break;
        if (events_readable(&e, keys)) {
            int key;
            while (running && (key = getch()) != ERR)
                running = screen_key(&screen, &table, key);
            redraw = 1;
        }
    }
    if (terminal)
        screen_stop();
    top_table_free(&table);
    return 0;
}
