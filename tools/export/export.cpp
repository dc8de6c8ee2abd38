// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export: reads colvo's live socket (connecting again whenever colvo
// restarts) and serves GET /metrics over HTTP, through libmicrohttpd, in
// Prometheus' text exposition format. Single-threaded: one pselect waits
// for the socket, the HTTP connections and the signals.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "config.h"
#include "error.h"
#include "export_store.h"
#include "line_reader.h"
#include "signals.h"
#include "start.h"
#include "xmalloc.h"

enum {
    HTTP_CONNECTIONS = 16,
    HTTP_TIMEOUT = 10,
    LISTEN_QUEUE = 16,
    PRUNE_INTERVAL = 60,
};

static const char DEFAULT_LISTEN[] = "127.0.0.1:9290";
static const char CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

static const char *listen_text = DEFAULT_LISTEN;
static const char *socket_path = COLVO_SOCKET;
static volatile sig_atomic_t quit_signal;

static void on_quit(int sig)
{
    quit_signal = sig;
}

static double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// The live socket and the part of a line read so far.
struct live_input {
    int fd = -1;
    line_reader lines;
    int told = 0;       // the failure to connect was told
    double retry = 0;   // when to try again
};

static void disconnect(live_input *in, export_store *s, double at)
{
    if (in->fd >= 0)
        close(in->fd);
    in->fd = -1;
    line_reader_reset(&in->lines);
    in->retry = at + 1;
    s->connected = 0;
}

static void try_connect(live_input *in, export_store *s, double at)
{
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", socket_path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) {
        in->fd = fd;
        in->told = 0;
        s->connected = 1;
        s->connections++;
        info("connected to %.200s", socket_path);
        return;
    }
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (!in->told)
        warning("cannot connect to %.200s: %.200s; trying again every second", socket_path,
                strerror(error));
    in->told = 1;
    in->retry = at + 1;
}

static void take_line(void *store, const char *line, size_t length)
{
    export_store_line(static_cast<export_store *>(store), line, length, now());
}

static void read_live(live_input *in, export_store *s)
{
    int open = line_reader_read(&in->lines, in->fd, take_line, s);
    s->unreadable += in->lines.too_long;
    in->lines.too_long = 0;
    if (!open) {
        warning("colvo closed %.200s; connecting again", socket_path);
        disconnect(in, s, now());
    }
}

static MHD_Result answer(MHD_Connection *connection, unsigned int status, const char *type,
                         char *text, size_t length)
{
    MHD_Response *r = MHD_create_response_from_buffer(length, text, MHD_RESPMEM_MUST_FREE);
    if (r == nullptr) {
        free(text);
        return MHD_NO;
    }
    MHD_add_response_header(r, "Content-Type", type);
    MHD_Result result = MHD_queue_response(connection, status, r);
    MHD_destroy_response(r);
    return result;
}

static char *copy(const char *text)
{
    return xstrdup(text);
}

static MHD_Result on_request(void *context, MHD_Connection *connection, const char *url,
                             const char *method, const char *, const char *, size_t *upload_size,
                             void **request)
{
    export_store *s = static_cast<export_store *>(context);
    // The first call only announces the request; a body is never wanted.
    if (*request == nullptr) {
        *request = connection;
        return MHD_YES;
    }
    if (*upload_size != 0) {
        *upload_size = 0;
        return MHD_YES;
    }
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain",
                      copy("only GET is served\n"), strlen("only GET is served\n"));
    if (strcmp(url, "/metrics") != 0)
        return answer(connection, MHD_HTTP_NOT_FOUND, "text/plain",
                      copy("colvo-export serves /metrics\n"),
                      strlen("colvo-export serves /metrics\n"));
    export_text text = {};
    export_store_render(s, now(), &text);
    if (text.data == nullptr)
        text.data = copy("");
    return answer(connection, MHD_HTTP_OK, CONTENT_TYPE, text.data, text.length);
}

static void http_log(void *, const char *format, va_list ap)
{
    char text[256];
    vsnprintf(text, sizeof(text), format, ap);
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] == '\n')
        text[n - 1] = '\0';
    warning("http: %.200s", text);
}

// ADDRESS:PORT, ADDRESS in brackets for IPv6; an empty address is every
// local one.
static int open_listener(const char *text)
{
    const char *colon = strrchr(text, ':');
    if (colon == nullptr || colon[1] == '\0')
        fatal("-l %.200s: not ADDRESS:PORT", text);
    char host[256];
    size_t n = static_cast<size_t>(colon - text);
    if (n >= 2 && text[0] == '[' && text[n - 1] == ']') {
        text++;
        n -= 2;
    }
    if (n >= sizeof(host))
        fatal("-l %.200s: not ADDRESS:PORT", text);
    memcpy(host, text, n);
    host[n] = '\0';
    addrinfo hints = {}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    int error = getaddrinfo(n ? host : nullptr, colon + 1, &hints, &found);
    if (error != 0)
        fatal("-l %.200s: %.200s", listen_text, gai_strerror(error));
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (found->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    }
    if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, LISTEN_QUEUE) != 0)
        fatal("cannot listen on %.200s: %.200s", listen_text, strerror(errno));
    freeaddrinfo(found);
    return fd;
}

static int export_letter(int c)
{
    switch (c) {
    case 'l':
        listen_text = optarg;
        return 1;
    case 's':
        socket_path = optarg;
        return 1;
    default:
        return 0;
    }
}

static const start_rules EXPORT_START = {
    "colvo-export", "dl:s:v", "usage: %s [-d] [-v] [-l address:port] [-s socket]", "", nullptr,
    export_letter,
};

int main(int argc, char **argv)
{
    start_options options;
    daemon_start(&EXPORT_START, argc, argv, &options);
    // It reads no configuration file.
    xfree(options.config);
    if (optind != argc) {
        info(EXPORT_START.usage, options.program);
        exit(EXIT_USAGE);
    }
    int listener = open_listener(listen_text);
    // In the foreground always: a supervisor runs it. Without -d it logs
    // to syslog.
    if (!debug_mode) {
        daemonized = 1;
        log_connect();
    }
    static const signal_action actions[] = {{SIGINT, on_quit}, {SIGTERM, on_quit}, {SIGHUP, on_quit}};
    sigset_t wait_mask;
    install_signal_actions(actions, 3, &wait_mask);
    signal(SIGPIPE, SIG_IGN);

    export_store store;
    export_store_init(&store);
    MHD_Daemon *http = MHD_start_daemon(
        MHD_USE_ERROR_LOG, 0, nullptr, nullptr, on_request, &store, MHD_OPTION_EXTERNAL_LOGGER,
        http_log, nullptr, MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned int>(HTTP_CONNECTIONS), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned int>(HTTP_TIMEOUT), MHD_OPTION_END);
    if (http == nullptr)
        fatal("cannot start the HTTP server on %.200s", listen_text);
    info("colvo-export version %s serving http://%.200s/metrics", VERSION, listen_text);

    live_input in;
    line_reader_init(&in.lines);
    double next_prune = now() + PRUNE_INTERVAL;
    while (!quit_signal) {
        double at = now();
        if (in.fd < 0 && at >= in.retry)
            try_connect(&in, &store, at);
        if (at >= next_prune) {
            export_store_prune(&store, at);
            next_prune = at + PRUNE_INTERVAL;
        }
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        MHD_socket highest = -1;
        MHD_get_fdset(http, &readable, &writable, &failed, &highest);
        if (in.fd >= 0) {
            FD_SET(in.fd, &readable);
            if (in.fd > highest)
                highest = in.fd;
        }
        // At most a second: the reconnection and the pruning are due.
        double wait = 1;
        MHD_UNSIGNED_LONG_LONG http_wait;
        if (MHD_get_timeout(http, &http_wait) == MHD_YES && http_wait < 1000)
            wait = static_cast<double>(http_wait) / 1000;
        timespec timeout = {static_cast<time_t>(wait), static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
        int ready = pselect(highest + 1, &readable, &writable, &failed, &timeout, &wait_mask);
        if (ready < 0) {
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            FD_ZERO(&failed);
        }
        if (in.fd >= 0 && FD_ISSET(in.fd, &readable))
            read_live(&in, &store);
        MHD_run_from_select(http, &readable, &writable, &failed);
    }
    info("received signal %d - quitting", static_cast<int>(quit_signal));
    MHD_stop_daemon(http);
    close(listener);
    export_store_free(&store);
    line_reader_free(&in.lines);
    return 0;
}
