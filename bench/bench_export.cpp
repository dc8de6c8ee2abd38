// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export's cost: its CPU while colvo sends it 1,000 lines a second
// (50 hosts, ten interface streams each, 100,000 values a second) and
// Prometheus would scrape it once a second, beside a bare reader of the
// same socket in the same run, and again writing every value to a
// remote-write receiver (a sink that takes every request: its cost is not
// the exporter's); and the time of a scrape while 1,000 idle and 40 slow
// clients hold connections, beside one with none.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "colvo_run.h"
#include "config.h"
#include "crc32.h"

static const double SECONDS = getenv("BENCH_SECONDS") ? atof(getenv("BENCH_SECONDS")) : 5.0;
enum { RATE = 1000, SOURCES = 50, REPEATS = 3 };

static double thread_cpu()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// RATE packets a second, the sources in turn, for SECONDS.
static void pace(int port)
{
    std::vector<int> fds = source_sockets(SOURCES);
    sockaddr_in to = loopback("127.0.0.1", port);
    auto start = std::chrono::steady_clock::now();
    for (long n = 0; n < static_cast<long>(SECONDS * RATE); n++) {
        if (n % 10 == 0)
            std::this_thread::sleep_until(start + std::chrono::duration<double>(double(n) / RATE));
        std::vector<uint8_t> p = if_packet(1700000000u + static_cast<uint64_t>(n / SOURCES));
        sendto(fds[static_cast<size_t>(n % SOURCES)], p.data(), p.size(), 0,
               reinterpret_cast<sockaddr *>(&to), sizeof(to));
    }
    for (int fd : fds)
        close(fd);
}

// A connection to the exporter from a loopback address of its own; -1
// when none was made.
static int connect_from(const std::string &from, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(from, 0), to = loopback("127.0.0.1", port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One GET /metrics; the bytes of the answer, and the answer in text when
// asked.
static long scrape(int port, std::string *text = nullptr)
{
    int fd = connect_from("127.0.0.1", port);
    if (fd < 0)
        return -1;
    const char request[] = "GET /metrics HTTP/1.0\r\n\r\n";
    if (write(fd, request, sizeof(request) - 1) < 0) {
        close(fd);
        return -1;
    }
    char buf[65536];
    long total = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        total += n;
        if (text)
            text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return total;
}

struct figures {
    double cpu_share; // of one CPU
    double us_per_line;
    long lines;
    long scraped; // bytes of the last scrape
};

// A remote-write receiver that takes every request whole and answers 204.
struct sink {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> requests{0}, bytes{0};
    std::thread thread;

    sink()
    {
        sockaddr_in a = loopback("127.0.0.1", 0);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        socklen_t length = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
        port = ntohs(a.sin_port);
        listen(fd, 8);
        thread = std::thread([this] { serve(); });
    }
    ~sink()
    {
        stop = true;
        thread.join();
        close(fd);
    }
    void serve()
    {
        std::vector<int> clients;
        std::vector<std::string> input;
        std::vector<char> buf(1 << 20);
        while (!stop.load()) {
            std::vector<pollfd> p = {{fd, POLLIN, 0}};
            for (int c : clients)
                p.push_back({c, POLLIN, 0});
            if (poll(p.data(), p.size(), 100) <= 0)
                continue;
            if (p[0].revents) {
                clients.push_back(accept(fd, nullptr, nullptr));
                input.emplace_back();
            }
            for (size_t i = 1; i < p.size(); i++) {
                if (!p[i].revents)
                    continue;
                ssize_t n = read(p[i].fd, buf.data(), buf.size());
                if (n <= 0)
                    continue;
                std::string &in = input[i - 1];
                in.append(buf.data(), static_cast<size_t>(n));
                size_t end, at;
                while ((end = in.find("\r\n\r\n")) != std::string::npos &&
                       (at = in.find("Content-Length: ")) != std::string::npos && at < end) {
                    size_t body = std::stoul(in.substr(at + 16));
                    if (in.size() < end + 4 + body)
                        break;
                    in.erase(0, end + 4 + body);
                    requests++;
                    bytes += static_cast<long>(body);
                    const char answer[] = "HTTP/1.1 204 No Content\r\n\r\n";
                    if (write(p[i].fd, answer, sizeof(answer) - 1) < 0)
                        break;
                }
            }
        }
        for (int c : clients)
            close(c);
    }
};

// A sample's count in the text of a scrape, -1 when it is not there.
static long sample(const std::string &text, const std::string &name)
{
    size_t at = text.find("\n" + name);
    return at == std::string::npos ? -1 : static_cast<long>(strtod(text.c_str() + text.find(' ', at + 1) + 1, nullptr));
}

// A bare reader of the socket: read and count lines, nothing kept.
static figures bare(int port)
{
    int fd = connect_live();
    std::thread sender(pace, port);
    double cpu = thread_cpu();
    long lines = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(SECONDS + 0.5);
    while (std::chrono::steady_clock::now() < end && fifo_read_lines(fd, 100, &lines) != 0) {
    }
    cpu = thread_cpu() - cpu;
    sender.join();
    close(fd);
    return {cpu / SECONDS, lines ? cpu / lines * 1e6 : 0, lines, 0};
}

// The exporter's figures; with a sink, it writes every value there, and
// what it sent, dropped and had refused is read from its last scrape.
struct remote_figures {
    long sent, dropped, refused;
};

static figures exporter(const std::string &bin, int port, sink *to = nullptr, remote_figures *remote = nullptr)
{
    int http = free_port();
    std::vector<std::string> args = {bin, "-u", "-l", "127.0.0.1:" + std::to_string(http), "-s", COLVO_SOCKET};
    if (to) {
        args.push_back("-r");
        args.push_back("http://127.0.0.1:" + std::to_string(to->port) + "/api/v1/write");
    }
    pid_t pid = spawn(args);
    // Ready once it answers.
    long scraped = -1;
    for (int i = 0; i < 500 && scraped < 0; i++, usleep(10000))
        scraped = scrape(http);
    double cpu = process_cpu(pid);
    std::thread sender(pace, port);
    auto start = std::chrono::steady_clock::now();
    for (int s = 1; s <= static_cast<int>(SECONDS); s++) {
        std::this_thread::sleep_until(start + std::chrono::seconds(s));
        scraped = scrape(http);
    }
    sender.join();
    usleep(1200000);
    cpu = process_cpu(pid) - cpu;
    if (remote) {
        std::string text;
        scrape(http, &text);
        *remote = {sample(text, "colvo_export_remote_samples_sent_total{"),
                   sample(text, "colvo_export_remote_samples_dropped_total{"),
                   sample(text, "colvo_export_remote_samples_refused_total{")};
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    long lines = static_cast<long>(SECONDS * RATE);
    return {cpu / SECONDS, cpu / lines * 1e6, lines, scraped};
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds of each of count scrapes in turn; empty when one failed.
static std::vector<double> timed_scrapes(int port, int count)
{
    std::vector<double> ms;
    for (int i = 0; i < count; i++) {
        auto start = std::chrono::steady_clock::now();
        if (scrape(port) <= 0)
            return {};
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return ms;
}

enum { IDLE = 1000, SLOW = 40, SCRAPES = 5 };

// Scrapes with lines flowing, alone and then beside IDLE idle clients (ten
// from each address) and SLOW clients each sending a header line every two
// seconds; both medians in milliseconds, or false when a scrape failed.
static bool crowded(const std::string &bin, int port, double *alone, double *beside)
{
    rlimit r;
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    int http = free_port();
    pid_t pid = spawn({bin, "-u", "-l", "127.0.0.1:" + std::to_string(http), "-s", COLVO_SOCKET});
    long ready = -1;
    for (int i = 0; i < 500 && ready < 0; i++, usleep(10000))
        ready = scrape(http);
    std::thread sender(pace, port);
    usleep(1000000);
    std::vector<double> first = timed_scrapes(http, SCRAPES);
    std::vector<int> fds;
    for (int i = 0; i < IDLE + SLOW; i++) {
        int fd = i < IDLE ? connect_from("127.3.0." + std::to_string(1 + i % 100), http)
                          : connect_from("127.3.1." + std::to_string(1 + i - IDLE), http);
        if (fd >= 0)
            fds.push_back(fd);
        if (fd >= 0 && i >= IDLE)
            send(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n", 32, MSG_NOSIGNAL);
    }
    std::atomic<bool> stop{false};
    std::thread dribble([&] {
        for (int round = 0; !stop.load(); round++, usleep(100000))
            for (size_t i = IDLE; round % 20 == 19 && i < fds.size(); i++)
                send(fds[i], "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
    });
    std::vector<double> second = timed_scrapes(http, SCRAPES);
    stop = true;
    dribble.join();
    bool all = fds.size() == IDLE + SLOW;
    for (int fd : fds)
        close(fd);
    sender.join();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (!all || first.empty() || second.empty())
        return false;
    *alone = median(first);
    *beside = median(second);
    return true;
}

int main(int argc, char **argv)
{
    std::string colvo = argc > 1 && argv[1][0] ? argv[1] : BENCH_COLVO;
    std::string bin = argc > 2 && argv[2][0] ? argv[2] : BENCH_EXPORT;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    crc32_init_table();
    char tmpl[] = "/tmp/benchexport.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    int port = free_port();
    colvo_run run = start_colvo(colvo, write_colvo_conf(dir, port, SOURCES, false));
    if (run.fifo < 0 || run.pid <= 0) {
        fprintf(stderr, "colvo did not start: no figure\n");
        return 1;
    }
    // The FIFO is read too, so colvo drops nothing there.
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        long ignored = 0;
        while (!stop.load())
            fifo_read_lines(run.fifo, 100, &ignored);
    });
    std::vector<double> bare_share, bare_us, export_share, export_us, remote_share, remote_us;
    figures b = {}, e = {}, w = {};
    remote_figures written = {};
    sink receiver;
    long requests = 0, bytes = 0;
    bool ready = true;
    for (int r = 0; r < REPEATS && ready; r++) {
        b = bare(port);
        e = exporter(bin, port);
        requests = receiver.requests;
        bytes = receiver.bytes;
        w = exporter(bin, port, &receiver, &written);
        requests = receiver.requests - requests;
        bytes = receiver.bytes - bytes;
        // A reader that got nothing, an exporter that never answered, or
        // one that wrote nothing.
        ready = b.lines > 0 && e.scraped > 0 && w.scraped > 0 && requests > 0 && written.sent > 0;
        bare_share.push_back(b.cpu_share);
        bare_us.push_back(b.us_per_line);
        export_share.push_back(e.cpu_share);
        export_us.push_back(e.us_per_line);
        remote_share.push_back(w.cpu_share);
        remote_us.push_back(w.us_per_line);
    }
    double alone = 0, beside = 0;
    ready = ready && crowded(bin, port, &alone, &beside);
    stop = true;
    drain.join();
    stop_colvo(&run);
    std::string cleanup = "rm -rf " + dir;
    if (!ready) {
        fprintf(stderr, "the socket reader got no line, colvo-export did not answer or wrote nothing to "
                        "its receiver, or a crowd's connection or scrape failed: no figure\n");
        if (system(cleanup.c_str()) != 0)
            fprintf(stderr, "cannot remove %s\n", dir.c_str());
        return 1;
    }
    printf("%d lines/s from %d hosts (%d streams each), median of %d runs of %.0f s:\n", RATE,
           SOURCES, BENCH_STREAMS, REPEATS, SECONDS);
    printf("bare socket reader: %.2f%% of a CPU, %.1f us per line (%ld lines)\n",
           100 * median(bare_share), median(bare_us), b.lines);
    printf("colvo-export, a scrape each second (%ld bytes): %.2f%% of a CPU, %.1f us per line "
           "(%.1fx the bare reader)\n",
           e.scraped, 100 * median(export_share), median(export_us),
           median(bare_us) > 0 ? median(export_us) / median(bare_us) : 0);
    printf("colvo-export writing every value to a receiver as well: %.2f%% of a CPU, %.1f us per line "
           "(%.2fx without); last run: %ld samples sent, %ld dropped, %ld refused, in %ld requests of "
           "%.1f bytes a sample\n",
           100 * median(remote_share), median(remote_us),
           median(export_us) > 0 ? median(remote_us) / median(export_us) : 0, written.sent, written.dropped,
           written.refused, requests, written.sent > 0 ? static_cast<double>(bytes) / static_cast<double>(written.sent) : 0);
    printf("a scrape with lines flowing, median of %d: %.1f ms alone, %.1f ms beside %d idle and %d "
           "slow connections\n",
           SCRAPES, alone, beside, IDLE, SLOW);
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
