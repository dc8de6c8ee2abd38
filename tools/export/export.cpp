// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export: reads colvo's live socket (connecting again whenever colvo
// restarts) and serves GET /metrics over HTTP, through libmicrohttpd, in
// Prometheus' text exposition format. The main thread waits for the live
// socket, the listening socket and the signals, and accepts every waiting
// connection at once; libmicrohttpd serves them from a thread of its own
// with poll(2), so their number is bounded by the descriptor limit alone,
// and keeps to its limits per address and in all, over TLS and with basic
// auth when its web configuration asks. Each remote-write receiver has a
// thread of its own (remote.h). The store is shared under one lock.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "colvo_user.h"
#include "config.h"
#include "error.h"
#include "events.h"
#include "export_store.h"
#include "line_reader.h"
#include "remote.h"
#include "signals.h"
#include "start.h"
#include "webconf.h"
#include "xmalloc.h"

enum {
    // Idle or slow clients hold a connection each: a scrape must still
    // find room beside many of them. Fewer where descriptors are short.
    HTTP_CONNECTIONS = 4096,
    HTTP_PER_ADDRESS = 32,
    HTTP_TIMEOUT = 5,
    // Descriptors kept for the live socket, the log and the libraries.
    SPARE_DESCRIPTORS = 32,
    LISTEN_QUEUE = 1024,
    // Accepted per wake-up: a flood of connections takes its turn too.
    ACCEPT_BATCH = 256,
    PRUNE_INTERVAL = 60,
    // Remote writers learn the hosts' liveness this often.
    LIVENESS_INTERVAL = 10,
};

static const char DEFAULT_LISTEN[] = "127.0.0.1:9290";
static const char NOT_FOUND[] = "colvo-export serves /metrics\n";
static const char ONLY_GET[] = "only GET is served\n";
static const char UNAUTHORIZED[] = "a user and password are needed\n";
static const char REALM[] = "colvo-export";
static const char HOME_PAGE[] = "<!DOCTYPE html>\n<html><head><title>colvo-export</title></head>\n"
                                "<body><h1>colvo-export</h1>\n"
                                "<p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

static const char *listen_text = DEFAULT_LISTEN;
static const char *socket_path = COLVO_SOCKET;
static const char *web_path;
static const char *remote_urls[REMOTE_RECEIVERS_MAX];
static int remote_count;
static int keep_user;
static web_config web;
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

// The store and the lock the HTTP thread and the reader share it by.
struct shared_store {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    export_store store;
};

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
    export_store_disconnected(s);
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

static double wall_clock()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

static void take_line(void *store, const char *line, size_t length)
{
    export_store_line(static_cast<export_store *>(store), line, length, now(), wall_clock());
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

static MHD_Result answer_text(MHD_Connection *connection, unsigned int status, const char *type,
                              const char *text)
{
    return answer(connection, status, type, xstrdup(text), strlen(text));
}

// The request's basic auth names one of the users, with its password.
static int authorized(MHD_Connection *connection)
{
    char *password = nullptr;
    char *user = MHD_basic_auth_get_username_password(connection, &password);
    int allowed = user && password && web_user_allowed(&web, user, password);
    MHD_free(user);
    MHD_free(password);
    return allowed;
}

static MHD_Result refuse_unauthorized(MHD_Connection *connection)
{
    MHD_Response *r = MHD_create_response_from_buffer(strlen(UNAUTHORIZED), const_cast<char *>(UNAUTHORIZED),
                                                      MHD_RESPMEM_PERSISTENT);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", "text/plain");
    MHD_Result result = MHD_queue_basic_auth_fail_response(connection, REALM, r);
    MHD_destroy_response(r);
    return result;
}

static MHD_Result on_request(void *context, MHD_Connection *connection, const char *url,
                             const char *method, const char *, const char *, size_t *upload_size,
                             void **request)
{
    shared_store *shared = static_cast<shared_store *>(context);
    // The first call only announces the request; a body is never wanted.
    if (*request == nullptr) {
        *request = connection;
        return MHD_YES;
    }
    if (*upload_size != 0) {
        *upload_size = 0;
        return MHD_YES;
    }
    if (web.users && !authorized(connection))
        return refuse_unauthorized(connection);
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        return answer_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain", ONLY_GET);
    if (strcmp(url, "/") == 0)
        return answer_text(connection, MHD_HTTP_OK, "text/html; charset=utf-8", HOME_PAGE);
    if (strcmp(url, "/metrics") != 0)
        return answer_text(connection, MHD_HTTP_NOT_FOUND, "text/plain", NOT_FOUND);
    // OpenMetrics when the scraper takes it, as Prometheus does.
    const char *accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Accept");
    exposition out = {{}, accept && strstr(accept, "application/openmetrics-text")
                              ? EXPOSITION_OPENMETRICS
                              : EXPOSITION_TEXT};
    pthread_mutex_lock(&shared->lock);
    export_store_render(&shared->store, now(), &out);
    pthread_mutex_unlock(&shared->lock);
    if (remote_active())
        remote_render(&out);
    expose_end(&out);
    if (out.text.data == nullptr)
        out.text.data = xstrdup("");
    return answer(connection, MHD_HTTP_OK, EXPOSITION_TYPES[out.format], out.text.data,
                  out.text.length);
}

// The path is compared as it came: no escape is undone, so "/metrics%00"
// or "/%6detrics" is not "/metrics".
static size_t keep_escapes(void *, MHD_Connection *, char *text)
{
    return strlen(text);
}

// Set once the server runs: what the library tells from then on is what
// clients did, which anyone can repeat, so it is shown in debug mode only.
static std::atomic<int> http_serving;

static void http_log(void *, const char *format, va_list ap)
{
    char text[256];
    vsnprintf(text, sizeof(text), format, ap);
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] == '\n')
        text[n - 1] = '\0';
    if (http_serving)
        debug("http: %.200s", text);
    else
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
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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

// Hands every waiting connection to the server, which closes those beyond
// its limits.
static void accept_connections(int listener, MHD_Daemon *http)
{
    for (int i = 0; i < ACCEPT_BATCH; i++) {
        sockaddr_storage from;
        socklen_t length = sizeof(from);
        int fd = accept4(listener, reinterpret_cast<sockaddr *>(&from), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        MHD_add_connection(http, fd, reinterpret_cast<sockaddr *>(&from), length);
    }
}

// As many connections as the descriptor limit allows, raised to its hard
// limit where that helps, up to HTTP_CONNECTIONS.
static unsigned int connection_limit()
{
    rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) != 0)
        return 16;
    rlim_t wanted = HTTP_CONNECTIONS + SPARE_DESCRIPTORS;
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < wanted) {
        r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max > wanted ? wanted : r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
        getrlimit(RLIMIT_NOFILE, &r);
    }
    if (r.rlim_cur == RLIM_INFINITY || r.rlim_cur >= wanted)
        return HTTP_CONNECTIONS;
    rlim_t spare = SPARE_DESCRIPTORS;
    return static_cast<unsigned int>(r.rlim_cur > 2 * spare ? r.rlim_cur - spare : spare);
}

static int export_letter(int c)
{
    switch (c) {
    case 'l':
        listen_text = optarg;
        return 1;
    case 'r':
        if (remote_count == REMOTE_RECEIVERS_MAX)
            fatal("-r %.200s: at most %d receivers", optarg, static_cast<int>(REMOTE_RECEIVERS_MAX));
        remote_urls[remote_count++] = optarg;
        return 1;
    case 's':
        socket_path = optarg;
        return 1;
    case 'u':
        keep_user = 1;
        return 1;
    case 'w':
        web_path = optarg;
        return 1;
    default:
        return 0;
    }
}

static const start_rules EXPORT_START = {
    "colvo-export", "dl:r:s:uvw:",
    "usage: %s [-d] [-u] [-v] [-l address:port] [-s socket] [-w webconfig] [-r url]...", "", nullptr,
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
    run_as user = lookup_run_as(keep_user, "colvo-export");
    // Its files are read now, while they can be.
    if (web_path)
        web_config_read(&web, web_path);
    if (web.cert && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
        fatal("web configuration %.200s: tls_server_config, but libmicrohttpd was built without TLS", web_path);
    int listener = open_listener(listen_text);
    // In the foreground always: a supervisor runs it. Without -d it logs
    // to syslog.
    if (!debug_mode) {
        daemonized = 1;
        log_connect();
    }
    unsigned int connections = connection_limit();
    // Bound: nothing else needs root. Before any thread starts, so every
    // thread is the user's.
    become_colvo_user(&user);
    static const signal_action actions[] = {{SIGINT, on_quit}, {SIGTERM, on_quit}, {SIGHUP, on_quit}};
    signal_gate gate;
    // Blocked from here on in every thread it starts: only the main thread
    // takes them, while it waits.
    signal_gate_init(&gate, actions, 3);
    signal(SIGPIPE, SIG_IGN);

    static shared_store shared;
    export_store_init(&shared.store);
    // Threads of their own, after the change of user, with the signals
    // blocked.
    remote_start(remote_urls, remote_count, &web.client);
    shared.store.remote = remote_active();
    MHD_OptionItem tls[] = {
        {MHD_OPTION_HTTPS_MEM_KEY, 0, web.key},
        {MHD_OPTION_HTTPS_MEM_CERT, 0, web.cert},
        {MHD_OPTION_END, 0, nullptr},
    };
    MHD_Daemon *http = MHD_start_daemon(
        MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC | MHD_USE_ERROR_LOG |
            (web.cert ? MHD_USE_TLS : 0),
        0, nullptr, nullptr, on_request, &shared, MHD_OPTION_EXTERNAL_LOGGER, http_log, nullptr,
        MHD_OPTION_CONNECTION_LIMIT, connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned int>(HTTP_PER_ADDRESS), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned int>(HTTP_TIMEOUT), MHD_OPTION_UNESCAPE_CALLBACK, keep_escapes, nullptr,
        MHD_OPTION_ARRAY, web.cert ? tls : tls + 2, MHD_OPTION_END);
    if (http == nullptr)
        fatal("cannot start the HTTP server on %.200s", listen_text);
    http_serving = 1;
    info("colvo-export version %s serving %s://%.200s/metrics", VERSION, web.cert ? "https" : "http",
         listen_text);

    live_input in;
    line_reader_init(&in.lines);
    double next_prune = now() + PRUNE_INTERVAL, next_liveness = now() + LIVENESS_INTERVAL;
    while (!quit_signal) {
        double at = now();
        pthread_mutex_lock(&shared.lock);
        if (in.fd < 0 && at >= in.retry)
            try_connect(&in, &shared.store, at);
        if (at >= next_prune) {
            export_store_prune(&shared.store, at);
            next_prune = at + PRUNE_INTERVAL;
        }
        if (shared.store.remote && at >= next_liveness) {
            export_store_push_liveness(&shared.store, at, wall_clock());
            next_liveness = at + LIVENESS_INTERVAL;
        }
        pthread_mutex_unlock(&shared.lock);
        // At most a second: the reconnection and the pruning are due.
        event_set e;
        events_clear(&e);
        int callers = events_watch(&e, listener, 1, 0);
        int lines = events_watch(&e, in.fd, 1, 0);
        timespec timeout = {1, 0};
        int ready = events_wait(&e, &gate, &timeout);
        if (quit_signal || ready <= 0)
            continue;
        if (events_readable(&e, callers) || events_ended(&e, callers))
            accept_connections(listener, http);
        if (!events_readable(&e, lines) && !events_ended(&e, lines))
            continue;
        pthread_mutex_lock(&shared.lock);
        read_live(&in, &shared.store);
        pthread_mutex_unlock(&shared.lock);
    }
    info("received signal %d - quitting", static_cast<int>(quit_signal));
    MHD_stop_daemon(http);
    close(listener);
    remote_stop();
    export_store_free(&shared.store);
    web_config_free(&web);
    line_reader_free(&in.lines);
    return 0;
}
