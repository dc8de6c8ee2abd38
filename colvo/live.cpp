// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The live socket and its clients: a fixed table of 64, each with a queue
// of whole lines of at most LIVE_BACKLOG bytes beyond the rest of a line
// the kernel took in part. Lines go straight to a client with nothing
// queued; only what its socket cannot take now waits.
#include "live.h"

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "config.h"
#include "error.h"
#include "events.h"
#include "whole_lines.h"
#include "figures.h"
#include "xmalloc.h"

enum { QUEUE_FIRST = 64 * 1024, READ_ROOM = 64 };

void live_open(live_server *s, const char *path)
{
    memset(s, 0, sizeof(*s));
    s->fd = NO_FD;
    for (live_client &c : s->clients)
        c.fd = NO_FD;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(address.sun_path))
        fatal("cannot create socket %.200s for live clients; the path is too long", path);
    strcpy(address.sun_path, path);
    if (unlink(path) != 0 && errno != ENOENT)
        fatal("cannot create socket %.200s for live clients; %.200s", path, strerror(errno));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fatal("cannot create socket %.200s for live clients; %.200s", path, strerror(errno));
    // Made for the owner alone, then opened to the group: no moment open
    // to others.
    mode_t mask = umask(0177);
    int bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    umask(mask);
    if (bound != 0 || listen(fd, LIVE_LISTEN_QUEUE) != 0)
        fatal("cannot create socket %.200s for live clients; %.200s", path, strerror(errno));
    const passwd *user = getpwnam(COLVO_USER);
    if (user && chown(path, static_cast<uid_t>(-1), user->pw_gid) != 0)
        warning("cannot give socket %.200s the group of %s: %.200s", path, COLVO_USER,
                strerror(errno));
    if (chmod(path, 0660) != 0)
        fatal("cannot create socket %.200s for live clients; %.200s", path, strerror(errno));
    s->fd = fd;
}

static void forget(live_server *s, live_client *c)
{
    close(c->fd);
    xfree(c->queue);
    memset(c, 0, sizeof(*c));
    c->fd = NO_FD;
    s->connected--;
    colvo_figures[FIG_CLIENTS] = static_cast<uint64_t>(s->connected);
}

static void dropped(live_server *s, long lines)
{
    s->dropped += lines;
    figure_add(FIG_SOCKET_DROPPED, static_cast<uint64_t>(lines));
}

// Room for length more bytes at the queue's end.
static void make_room(live_client *c, int length)
{
    if (c->head > 0 && c->head + c->length + length > c->size) {
        memmove(c->queue, c->queue + c->head, static_cast<size_t>(c->length));
        c->head = 0;
    }
    if (c->length + length <= c->size)
        return;
    int size = c->size > 0 ? c->size : QUEUE_FIRST;
    while (size < c->length + length)
        size *= 2;
    c->queue = static_cast<char *>(xrealloc(c->queue, static_cast<size_t>(size)));
    c->size = size;
}

// Queues the lines of text: the first kept bytes (the rest of a line the
// socket took in part) always, then the whole lines within the backlog;
// the others are dropped.
static void queue_lines(live_server *s, live_client *c, const char *text, int length, int kept)
{
    int room = LIVE_BACKLOG - c->length;
    int take = length;
    if (length > room) {
        take = kept;
        for (int i = (room < length ? room : length) - 1; i >= kept; i--)
            if (text[i] == '\n') {
                take = i + 1;
                break;
            }
    }
    if (take > 0) {
        make_room(c, take);
        memcpy(c->queue + c->head + c->length, text, static_cast<size_t>(take));
        c->length += take;
    }
    if (take < length)
        dropped(s, count_lines(text + take, length - take));
}

// Writes what the socket takes now; 0 when the client is gone.
static int write_some(live_client *c, const char *text, int length, int *written)
{
    ssize_t n = send(c->fd, text, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        *written = 0;
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    *written = static_cast<int>(n);
    return 1;
}

static void send_to(live_server *s, live_client *c, const char *text, int length)
{
    if (c->length > 0) {
        queue_lines(s, c, text, length, 0);
        return;
    }
    int n;
    if (!write_some(c, text, length, &n)) {
        forget(s, c);
        return;
    }
    if (n == length)
        return;
    // The line it stopped in goes on first, whole.
    int kept = n > 0 ? cut_line_rest(text, length, n) : 0;
    queue_lines(s, c, text + n, length - n, kept);
}

void live_send(live_server *s, const char *text, int length)
{
    if (s == nullptr || s->connected == 0 || length <= 0)
        return;
    for (live_client &c : s->clients)
        if (c.fd != NO_FD)
            send_to(s, &c, text, length);
}

static void send_figures_to(live_server *s, live_client *c)
{
    char line[FIGURES_LINE_MAX];
    int length = figures_line(line, sizeof(line), log_clock(nullptr));
    send_to(s, c, line, length);
    if (s->sources && c->fd != 0)
        send_to(s, c, s->sources, s->sources_length);
}

void live_send_figures(live_server *s)
{
    if (s == nullptr || s->connected == 0)
        return;
    char line[FIGURES_LINE_MAX];
    int length = figures_line(line, sizeof(line), log_clock(nullptr));
    live_send(s, line, length);
    if (s->sources)
        live_send(s, s->sources, s->sources_length);
}

void live_set_sources(live_server *s, const char *const *names, int count)
{
    xfree(s->sources);
    s->sources = sources_lines(names, count, &s->sources_length);
    live_send(s, s->sources, s->sources_length);
}

void live_watch(live_server *s, event_set *e)
{
    if (s == nullptr || s->fd == NO_FD)
        return;
    s->place = events_watch(e, s->fd, 1, 0);
    for (live_client &c : s->clients)
        c.place = c.fd == NO_FD ? -1 : events_watch(e, c.fd, 1, c.length > 0);
}

static void refuse(live_server *s, int fd)
{
    close(fd);
    figure_add(FIG_CLIENTS_REFUSED);
    // Anyone who may connect can repeat it: limited as the network's are.
    limited_warning(s, "live client refused: %d clients connected already", s->connected);
}

static void accept_clients(live_server *s)
{
    for (int round = 0; round < LIVE_CLIENTS_MAX; round++) {
        int fd = accept4(s->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        live_client *slot = nullptr;
        for (live_client &c : s->clients)
            if (c.fd == NO_FD) {
                slot = &c;
                break;
            }
        if (slot == nullptr) {
            refuse(s, fd);
            continue;
        }
        slot->fd = fd;
        s->connected++;
        colvo_figures[FIG_CLIENTS] = static_cast<uint64_t>(s->connected);
        debug("live client connected, %d now", s->connected);
        // It learns colvo's figures at once, not within the minute.
        send_figures_to(s, slot);
    }
}

// A client only reads: the end of its stream is the end of the client,
// and one that writes is dropped, lest colvo read for it without end.
static void read_client(live_server *s, live_client *c)
{
    char ignored[READ_ROOM];
    ssize_t n = recv(c->fd, ignored, sizeof(ignored), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    forget(s, c);
    if (n <= 0) {
        debug("live client gone, %d left", s->connected);
        return;
    }
    figure_add(FIG_CLIENTS_DROPPED);
    limited_warning(s, "live client dropped: it wrote to the socket; clients only read");
}

static void write_queue(live_server *s, live_client *c)
{
    int n;
    if (!write_some(c, c->queue + c->head, c->length, &n)) {
        forget(s, c);
        return;
    }
    c->head += n;
    c->length -= n;
    if (c->length == 0)
        c->head = 0;
}

void live_serve(live_server *s, const event_set *e)
{
    if (s == nullptr || s->fd == NO_FD)
        return;
    for (live_client &c : s->clients) {
        if (c.fd != NO_FD && events_readable(e, c.place))
            read_client(s, &c);
        if (c.fd != NO_FD && c.length > 0 && events_writable(e, c.place))
            write_queue(s, &c);
    }
    if (events_readable(e, s->place))
        accept_clients(s);
}

void live_finish(live_server *s)
{
    if (s == nullptr)
        return;
    for (live_client &c : s->clients) {
        if (c.fd == NO_FD)
            continue;
        if (c.length > 0)
            write_queue(s, &c);
        if (c.fd != NO_FD && c.length > 0)
            dropped(s, count_lines(c.queue + c.head, c.length));
        if (c.fd != NO_FD)
            forget(s, &c);
    }
}
