// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export as a server on a shared network: only its two paths answer,
// idle and slow clients cannot lock a scrape out, it gives up root once
// bound, and a socket that never runs dry does not keep it from its
// signals; what it serves of every stream type passes promtool, in either
// format; a web configuration it cannot honour stops it; and what it
// writes to a remote-write receiver reads back exactly. The real program
// on loopback, clients from loopback addresses of their own, colvo's side
// of the socket and a receiver played by the test.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <snappy-c.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "catalogue.h"
#include "config.h"
#include "daemon.h"
#include "remote.pb-c.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string COLVO = COLVO_BIN;
const std::string EXPORT = EXPORT_BIN;

// A connection to 127.0.0.1:port from the loopback address from, made
// within 5 s; -1 when none was.
int connect_from(const std::string &from, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    pollfd p = {fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof(error);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0 &&
         (errno != EINPROGRESS || poll(&p, 1, 5000) != 1 ||
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0))) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, 0);
    return fd;
}

// Whether the server closed the connection within timeout_ms.
bool closed_within(int fd, int timeout_ms)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Sends text on a new connection and reads the answer to its end; "" when
// the connection was refused or reset, or nothing came within 10 s.
std::string round_trip(int port, const std::string &text, const std::string &from = "127.0.0.1")
{
    int fd = connect_from(from, port);
    if (fd < 0)
        return "";
    timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string answer;
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof(buf), 0)) > 0)
            answer.append(buf, static_cast<size_t>(n));
        if (n < 0)
            answer.clear();
    }
    close(fd);
    return answer;
}

std::string status_line(const std::string &answer)
{
    return answer.substr(0, answer.find("\r\n"));
}

int open_descriptors(pid_t pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    int n = 0;
    if (d == nullptr)
        return 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n - 2;
}

std::string status_field(pid_t pid, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(name.size() + 1);
    return "";
}

// colvo's side of the live socket, played by the test.
struct fake_colvo {
    temp_dir dir;
    std::string path = dir.file("colvo.sock");
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);

    fake_colvo()
    {
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        listen(listener, 4);
    }
    ~fake_colvo() { close(listener); }
    int take_client()
    {
        pollfd p = {listener, POLLIN, 0};
        return poll(&p, 1, 5000) == 1 ? accept(listener, nullptr, nullptr) : -1;
    }
};

struct Serve : ::testing::Test {
    int http = free_tcp_port();

    std::unique_ptr<daemon_process> start_export(const std::string &socket,
                                                 std::vector<std::string> more = {"-u"})
    {
        std::vector<std::string> args = {"-d", "-l", "127.0.0.1:" + std::to_string(http), "-s", socket};
        args.insert(args.end(), more.begin(), more.end());
        auto d = std::make_unique<daemon_process>(EXPORT, args);
        EXPECT_TRUE(d->wait_for("serving http://")) << d->output();
        return d;
    }
};

// A line of every stream type the catalogue names, of every value
// format, for two hosts colvo is configured with, beside its figures:
// promtool passes the text, and an OpenMetrics scraper gets OpenMetrics.
TEST_F(Serve, EveryStreamTypePassesPromtool)
{
    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "no promtool (scripts/deps.sh installs it)";
    fake_colvo colvo;
    auto exporter = start_export(colvo.path);
    int client = colvo.take_client();
    ASSERT_LE(0, client);
    std::string lines = "#colvo-sources;3;0;10.0.0.5;10.0.0.6;10.0.0.7;\n"
                        "#colvo;1700000000;received=7;accepted=5;bad_crc=2;clients=1;\n";
    for (const char *host : {"10.0.0.5", "10.0.0.6"}) {
        lines += host;
        lines += ";";
        for (const stream_row &r : catalogue::ROWS) {
            if (!r.keyword)
                continue;
            lines += std::string(r.keyword) + ":" + (r.argument ? "x\"y" : "") + ":1700000000";
            for (const char *f = r.format; *f; f++)
                lines += *f == 'c' ? ":41.10" : *f == 'D' ? ":-2.5" : ":18446744073709551615";
            lines += ";";
        }
        lines += "\n";
    }
    ASSERT_EQ(static_cast<ssize_t>(lines.size()), send(client, lines.data(), lines.size(), MSG_NOSIGNAL));
    std::string text;
    for (int i = 0; i < 100 && text.find("colvo_export_lines_total 2\n") == std::string::npos; i++, usleep(20000))
        text = round_trip(http, "GET /metrics HTTP/1.0\r\n\r\n");
    text = text.substr(text.find("\r\n\r\n") + 4);
    EXPECT_NE(std::string::npos, text.find("colvo_cpu_user_ratio{host=\"10.0.0.6\",cpu=\"x\\\"y\"} 0.411\n")) << text;
    EXPECT_NE(std::string::npos, text.find("colvo_host_up{host=\"10.0.0.7\"} 0\n"));
    EXPECT_NE(std::string::npos, text.find("colvo_daemon_datagrams_dropped_total{reason=\"bad_crc\"} 2\n"));
    temp_dir dir;
    std::string out;
    EXPECT_EQ(0, run_command("/bin/sh", {"-c", "/usr/bin/promtool check metrics < " + dir.write("metrics.txt", text)},
                             &out))
        << out << text;
    std::string om = round_trip(http, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                                      "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5\r\n\r\n");
    EXPECT_NE(std::string::npos,
              om.find("Content-Type: application/openmetrics-text; version=1.0.0; charset=utf-8\r\n"));
    EXPECT_NE(std::string::npos, om.find("# TYPE colvo_if_receive_bytes counter\n"
                                         "# UNIT colvo_if_receive_bytes bytes\n"));
    EXPECT_EQ(om.size() - 6, om.find("# EOF\n"));
    close(client);
}

TEST_F(Serve, OnlyTheMetricsPathAndTheHomePageAnswer)
{
    auto exporter = start_export("/nonexistent/colvo.sock");
    struct {
        const char *request;
        const char *status;
        const char *body; // a part of it
    } cases[] = {
        {"GET /metrics HTTP/1.0", "200 OK", "\ncolvo_export_connected 0\n"},
        {"HEAD /metrics HTTP/1.0", "200 OK", "text/plain; version=0.0.4"},
        {"GET / HTTP/1.0", "200 OK", "<a href=\"/metrics\">"},
        {"GET /metrics%00 HTTP/1.0", "404 Not Found", "colvo-export serves /metrics\n"},
        {"GET /metrics%00.txt HTTP/1.0", "404 Not Found", ""},
        {"GET /%6detrics HTTP/1.0", "404 Not Found", ""},
        {"GET /metrics/ HTTP/1.0", "404 Not Found", ""},
        {"GET /Metrics HTTP/1.0", "404 Not Found", ""},
        {"GET //metrics HTTP/1.0", "404 Not Found", ""},
        {"GET /index.html HTTP/1.0", "404 Not Found", ""},
        {"POST /metrics HTTP/1.0", "405 Method Not Allowed", "only GET is served\n"},
    };
    for (const auto &c : cases) {
        std::string answer = round_trip(http, std::string(c.request) + "\r\n\r\n");
        EXPECT_EQ(std::string("HTTP/1.1 ") + c.status, status_line(answer)) << c.request;
        EXPECT_NE(std::string::npos, answer.find(c.body)) << c.request << "\n" << answer;
    }
}

// Idle and slow clients from many addresses hold their connections; a
// scrape beside them is answered in full. One address alone gets no more
// than its share, and an idle connection is closed within seconds.
TEST_F(Serve, ScrapeAnsweredBesideIdleAndSlowConnections)
{
    enum { IDLE = 1000, IDLE_ADDRESSES = 100, SLOW = 40, PER_ADDRESS = 32 };
    rlimit r;
    getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_max < 2 * IDLE)
        GTEST_SKIP() << "descriptor limit below " << 2 * IDLE;
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    auto exporter = start_export("/nonexistent/colvo.sock");

    std::vector<int> idle, slow;
    for (int i = 0, fd = 0; i < IDLE && fd >= 0; i++)
        if ((fd = connect_from("127.0.1." + std::to_string(1 + i % IDLE_ADDRESSES), http)) >= 0)
            idle.push_back(fd);
    for (int i = 0, fd = 0; i < SLOW && fd >= 0; i++)
        if ((fd = connect_from("127.0.2." + std::to_string(1 + i), http)) >= 0) {
            slow.push_back(fd);
            send(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n", 32, MSG_NOSIGNAL);
        }
    EXPECT_EQ(size_t{IDLE}, idle.size());
    EXPECT_EQ(size_t{SLOW}, slow.size());
    // A header line every two seconds from each slow client, until stopped.
    int stop[2];
    ASSERT_EQ(0, pipe(stop));
    std::thread dribble([&] {
        pollfd p = {stop[0], POLLIN, 0};
        while (poll(&p, 1, 2000) == 0)
            for (int fd : slow)
                send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
    });
    // Each one held by the exporter before the scrape.
    for (int i = 0; i < 500 && open_descriptors(exporter->pid()) < IDLE + SLOW; i++, usleep(10000))
        exporter->drain();
    EXPECT_LE(IDLE + SLOW, open_descriptors(exporter->pid()));

    auto start = std::chrono::steady_clock::now();
    std::string answer = round_trip(http, "GET /metrics HTTP/1.0\r\n\r\n");
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::cout << "scrape beside " << IDLE << " idle and " << SLOW << " slow connections: " << took.count()
              << " ms\n";
    EXPECT_EQ("HTTP/1.1 200 OK", status_line(answer));
    EXPECT_NE(std::string::npos, answer.find("\ncolvo_export_hosts 0\n")) << answer;
    write(stop[1], "x", 1);
    dribble.join();
    close(stop[0]);
    close(stop[1]);
    for (int fd : slow)
        close(fd);
    for (int fd : idle)
        close(fd);

    std::vector<int> one;
    for (int i = 0; i < PER_ADDRESS; i++)
        one.push_back(connect_from("127.0.3.1", http));
    int over = connect_from("127.0.3.1", http);
    EXPECT_TRUE(closed_within(over, 5000));
    for (int fd : one)
        EXPECT_FALSE(closed_within(fd, 0));
    // And none of them is kept once idle for a few seconds.
    for (int fd : one)
        EXPECT_TRUE(closed_within(fd, 10000));
    for (int fd : one)
        close(fd);
    close(over);
    exporter->signal(SIGTERM);
    EXPECT_EQ(0, exporter->wait_exit());
}

// Started as root, the exporter binds its port, then runs as _colvo,
// reading colvo's socket through its group and holding no capability.
TEST_F(Serve, StartedAsRootRunsAsColvo)
{
    if (geteuid() != 0 || getpwnam("_colvo") != nullptr)
        GTEST_SKIP() << "needs root, and no _colvo user yet";
    daemon_process refused(EXPORT, {"-d", "-l", "127.0.0.1:" + std::to_string(http)});
    EXPECT_EQ(1, refused.wait_exit());
    EXPECT_NE(std::string::npos,
              refused.output().find("fatal: no user '_colvo' to run as: create it (see colvo(8)), "
                                    "or start colvo-export with -u to keep running as root"))
        << refused.output();
    std::string out;
    ASSERT_EQ(0, run_command("/usr/sbin/useradd", {"-r", "-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", "_colvo"},
                             &out))
        << out;
    struct cleanup {
        ~cleanup() { run_command("/usr/sbin/userdel", {"_colvo"}, nullptr); }
    } remove_user;
    const passwd *pw = getpwnam("_colvo");
    ASSERT_NE(nullptr, pw);
    std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid);
    temp_dir dir;
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port 1\nsource 127.0.0.1 { accept { load } }\n");
    daemon_process colvo(COLVO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(colvo.wait_for("listening for incoming probo traffic")) << colvo.output();

    auto exporter = start_export(COLVO_SOCKET, {});
    EXPECT_TRUE(exporter->wait_for("running as user _colvo")) << exporter->output();
    EXPECT_TRUE(exporter->wait_for("connected to " + std::string(COLVO_SOCKET))) << exporter->output();
    std::string answer = round_trip(http, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_NE(std::string::npos, answer.find("\ncolvo_export_connected 1\n")) << answer;
    std::string status;
    for (const char *field : {"Uid", "Gid", "Groups", "CapEff", "CapPrm"})
        status += std::string(field) + ":" + status_field(exporter->pid(), field) + "\n";
    std::cout << status;
    EXPECT_EQ("Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\nGid:\t" + gid + "\t" + gid + "\t" + gid +
                  "\t" + gid + "\nGroups:\t" + gid + " \nCapEff:\t0000000000000000\nCapPrm:\t0000000000000000\n",
              status);
    exporter->signal(SIGTERM);
    EXPECT_EQ(0, exporter->wait_exit());
    colvo.signal(SIGTERM);
    EXPECT_EQ(75, colvo.wait_exit());
}

// A socket that always has more to read: the exporter still ends on
// SIGTERM at once.
TEST_F(Serve, EndsOnSignalWhileLinesNeverStop)
{
    fake_colvo colvo;
    auto exporter = start_export(colvo.path);
    int client = colvo.take_client();
    ASSERT_LE(0, client);
    std::string lines;
    for (int i = 0; lines.size() < 65536; i++)
        lines += "10.0." + std::to_string(i % 250) + ".1;load::1700000000:1.00:2.00:3.00;"
                 "if:em0:1700000000:1:2:3:4:5:6:7:8:9:10;df:/:1700000000:1:2:3:4:5:6:7;\n";
    // Seconds of lines queued: never a moment with nothing to read.
    int room = 32 << 20;
    setsockopt(client, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof(room));
    std::atomic<long> writes{0};
    std::thread flood([&] {
        while (send(client, lines.data(), lines.size(), MSG_NOSIGNAL) > 0)
            writes++;
    });
    // Twice what the socket holds: the exporter is well into its reading.
    long enough = 2 * room / static_cast<long>(lines.size());
    for (int i = 0; i < 1000 && writes < enough; i++)
        usleep(10000);
    EXPECT_LE(enough, writes);
    exporter->signal(SIGTERM);
    EXPECT_EQ(0, exporter->wait_exit(1000)) << exporter->output();
    shutdown(client, SHUT_RDWR);
    flood.join();
    close(client);
}

// A web configuration colvo-export cannot honour stops it at start, naming
// the file, the line and the reason.
TEST_F(Serve, BadWebConfigurationIsFatal)
{
    temp_dir dir;
    dir.write("empty.crt", "");
    dir.write("good.crt", "-----BEGIN CERTIFICATE-----\n");
    struct {
        const char *text;
        std::string message;
    } cases[] = {
        {"tls_server_config:\n  cert_file: good.crt\n  key: a.key\n", ":3: unknown or unsupported key: key"},
        {"tls_server_config:\n  cert_file: missing.crt\n", ":2: cannot read " + dir.file("missing.crt") +
                                                                ": No such file or directory"},
        {"tls_server_config:\n  cert_file: empty.crt\n", ":2: empty file " + dir.file("empty.crt")},
        {"tls_server_config: [a, b]\n", ":1: a mapping of keys is wanted here"},
        {"basic_auth_users:\n  alice: secret\n", ":2: not a bcrypt hash ($2a$, $2b$ or $2y$)"},
        {"basic_auth_users:\n  alice: $2y$05$short\n", ":2: a bcrypt hash the system's crypt(3) cannot check"},
        {"basic_auth_users:\n  bob:\n    - 1\n", ":3: a single value is wanted here"},
        {"tls_server_config:\n  client_auth_type: RequireAndVerifyClientCert\n",
         ":2: client certificates are not checked: client_auth_type can only be NoClientCert"},
        {"remote_write_client:\n  tls_config:\n    insecure_skip_verify: maybe\n", ":3: true or false is wanted here"},
        {"http_server_config:\n  http2: false\n", ":1: unknown or unsupported key: http_server_config"},
        {"tls_server_config: {}\ntls_server_config: {}\n", ":2: given twice: tls_server_config"},
        {"a: b: c\n", ":1: mapping values are not allowed in this context"},
        {"remote_write_client:\n  basic_auth:\n    username: colvo\n",
         ": remote_write_client's basic_auth needs a username and a password"},
    };
    for (const auto &c : cases) {
        std::string path = dir.write("web.yml", c.text);
        daemon_process d(EXPORT, {"-d", "-u", "-l", "127.0.0.1:" + std::to_string(http), "-w", path});
        EXPECT_EQ(1, d.wait_exit()) << c.text;
        EXPECT_NE(std::string::npos, d.output().find("fatal: web configuration " + path + c.message))
            << c.text << d.output();
    }
}

// A remote-write receiver played by the test: each request is kept, and
// answered with the next status of its script, then 200.
struct fake_receiver {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    std::vector<int> script;
    std::mutex lock;
    std::condition_variable came;
    std::vector<std::pair<std::string, std::string>> requests; // head, body
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit fake_receiver(std::vector<int> statuses) : script(std::move(statuses))
    {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        socklen_t length = sizeof(a);
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length);
        port = ntohs(a.sin_port);
        listen(listener, 4);
        thread = std::thread([this] { serve(); });
    }
    ~fake_receiver()
    {
        stop = true;
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }
    void serve()
    {
        pollfd p = {listener, POLLIN, 0};
        while (!stop && poll(&p, 1, 100) >= 0) {
            int fd = p.revents ? accept(listener, nullptr, nullptr) : -1;
            if (fd < 0)
                continue;
            std::string in;
            char buf[65536];
            pollfd c = {fd, POLLIN, 0};
            // Requests on the connection until its end.
            for (ssize_t n; !stop && poll(&c, 1, 100) >= 0;) {
                if (c.revents == 0)
                    continue;
                if ((n = recv(fd, buf, sizeof(buf), 0)) <= 0)
                    break;
                in.append(buf, static_cast<size_t>(n));
                size_t end = in.find("\r\n\r\n");
                size_t at = in.find("Content-Length: ");
                if (end == std::string::npos || at == std::string::npos)
                    continue;
                size_t body = std::stoul(in.substr(at + 16));
                if (in.size() < end + 4 + body)
                    continue;
                int status;
                {
                    std::lock_guard<std::mutex> g(lock);
                    requests.emplace_back(in.substr(0, end + 4), in.substr(end + 4, body));
                    status = requests.size() <= script.size() ? script[requests.size() - 1] : 200;
                }
                came.notify_all();
                in.erase(0, end + 4 + body);
                std::string answer = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: 9\r\n\r\nscripted\n";
                send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            close(fd);
        }
    }
    bool wait_for(size_t count)
    {
        std::unique_lock<std::mutex> g(lock);
        return came.wait_for(g, std::chrono::seconds(15), [&] { return requests.size() >= count; });
    }
    std::vector<std::pair<std::string, std::string>> taken()
    {
        std::lock_guard<std::mutex> g(lock);
        return requests;
    }
};

// The series of a request by name: its labels as name=value pairs, and its
// samples as value@milliseconds, read with protobuf-c from the snappy body.
std::map<std::string, std::string> decoded(const std::string &body)
{
    size_t length = 0;
    std::map<std::string, std::string> out;
    if (snappy_uncompressed_length(body.data(), body.size(), &length) != SNAPPY_OK)
        return out;
    std::string raw(length, '\0');
    if (snappy_uncompress(body.data(), body.size(), &raw[0], &length) != SNAPPY_OK)
        return out;
    Colvo__WriteRequest *w = colvo__write_request__unpack(nullptr, length, reinterpret_cast<const uint8_t *>(raw.data()));
    for (size_t i = 0; w && i < w->n_timeseries; i++) {
        const Colvo__TimeSeries *ts = w->timeseries[i];
        std::string labels, name;
        for (size_t j = 0; j < ts->n_labels; j++) {
            Colvo__Label *l = colvo__label__unpack(nullptr, ts->labels[j].len, ts->labels[j].data);
            if (l && std::string(l->name) == "__name__")
                name = l->value;
            labels += l ? std::string(l->name) + "=" + l->value + "," : "?,";
            colvo__label__free_unpacked(l, nullptr);
        }
        for (size_t j = 0; j < ts->n_samples; j++) {
            char v[64];
            snprintf(v, sizeof(v), " %.17g@%lld", ts->samples[j]->value, static_cast<long long>(ts->samples[j]->timestamp));
            labels += v;
        }
        out[name] += labels;
    }
    colvo__write_request__free_unpacked(w, nullptr);
    return out;
}

// Values go out in requests a receiver can read, labels sorted and values
// exact; a 500 is tried again with the same request, a 400 not; what is
// left when the exporter stops is counted dropped and told.
TEST_F(Serve, RemoteWriteRetriesServerErrorsOnly)
{
    fake_colvo colvo;
    fake_receiver receiver({500, 200, 400, 200, 500, 500, 500, 500, 500, 500, 500, 500, 500, 500, 500, 500});
    auto exporter = start_export(colvo.path, {"-u", "-r", "http://user:pw@127.0.0.1:" + std::to_string(receiver.port) + "/write"});
    int client = colvo.take_client();
    ASSERT_LE(0, client);
    auto feed = [&](const std::string &line) { send(client, line.data(), line.size(), MSG_NOSIGNAL); };
    feed("10.0.0.5;cpu:0:1700000000:41.10:0.00:0.00:0.00:58.90;\n");
    ASSERT_TRUE(receiver.wait_for(2));
    feed("10.0.0.5;load::1700000001:1.00:2.00:3.00;\n");
    ASSERT_TRUE(receiver.wait_for(3));
    feed("10.0.0.5;load::1700000002:1.50:2.00:3.00;\n");
    ASSERT_TRUE(receiver.wait_for(4));
    auto r = receiver.taken();
    for (const char *header : {"POST /write HTTP/1.1\r\n", "\r\nContent-Encoding: snappy\r\n",
                               "\r\nContent-Type: application/x-protobuf\r\n",
                               "\r\nX-Prometheus-Remote-Write-Version: 0.1.0\r\n", "\r\nAuthorization: Basic dXNlcjpwdw==\r\n"})
        EXPECT_NE(std::string::npos, r[0].first.find(header)) << header << r[0].first;
    EXPECT_EQ(r[0].second, r[1].second);
    auto first = decoded(r[1].second), refused = decoded(r[2].second), last = decoded(r[3].second);
    EXPECT_EQ("__name__=colvo_cpu_user_ratio,cpu=0,host=10.0.0.5, 0.41099999999999998@1700000000000",
              first["colvo_cpu_user_ratio"]);
    EXPECT_EQ("__name__=colvo_cpu_idle_ratio,cpu=0,host=10.0.0.5, 0.58899999999999997@1700000000000",
              first["colvo_cpu_idle_ratio"]);
    EXPECT_EQ(5u, first.size());
    EXPECT_EQ("__name__=colvo_load_load1,host=10.0.0.5, 1@1700000001000", refused["colvo_load_load1"]);
    EXPECT_EQ("__name__=colvo_load_load1,host=10.0.0.5, 1.5@1700000002000", last["colvo_load_load1"]);
    // The receiver has the fourth request before the exporter has its answer.
    std::string url = "{url=\"http://127.0.0.1:" + std::to_string(receiver.port) + "/write\"} ";
    std::string text;
    for (int i = 0; i < 100 && text.find("colvo_export_remote_queue_samples" + url + "0\n") == std::string::npos;
         i++, usleep(20000))
        text = round_trip(http, "GET /metrics HTTP/1.0\r\n\r\n");
    for (const std::string &sample :
         {"colvo_export_remote_samples_sent_total" + url + "8\n", "colvo_export_remote_samples_refused_total" + url + "3\n",
          "colvo_export_remote_requests_retried_total" + url + "1\n",
          "colvo_export_remote_samples_dropped_total" + url + "0\n", "colvo_export_remote_queue_samples" + url + "0\n"})
        EXPECT_NE(std::string::npos, text.find(sample)) << sample << text;
    EXPECT_EQ(std::string::npos, text.find("user:pw"));
    feed("10.0.0.5;load::1700000003:1.50:2.00:3.00;\n");
    receiver.wait_for(5);
    exporter->signal(SIGTERM);
    EXPECT_EQ(0, exporter->wait_exit(10000));
    EXPECT_NE(std::string::npos,
              exporter->output().find("remote write to http://127.0.0.1:" + std::to_string(receiver.port) +
                                      "/write: 3 samples dropped unsent, 3 refused by the receiver, "))
        << exporter->output();
    close(client);
}

} // namespace
