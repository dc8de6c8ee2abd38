// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo on loopback, each figure beside a bare baseline measured in the
// same run: flooded throughput and CPU per packet (50 sources, FIFO only);
// CPU per packet with four live socket clients against none;
// CPU per packet at a steady rate for 10 to 10,000 configured sources, and
// the resident memory each source costs; the database path against a bare
// librrd loop making the same updates, straight to the files and through
// rrdcached; CPU per packet for signed packets from keyed sources against
// the same packets unsigned. A set-up that fails, or a database update
// either side could not make, prints no figure and makes the exit status 1.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <rrd.h>
// The client header declares C functions without saying so.
extern "C" {
#include <rrd_client.h>
}
#include <sys/stat.h>
#include <sys/wait.h>

#include "auth.h"
#include "codec.h"
#include "colvo_run.h"
#include "config.h"
#include "crc32.h"
#include "packet.h"
#include "types.h"

// Seconds of each run; BENCH_SECONDS sets another, for profiling one.
static const double SECONDS = getenv("BENCH_SECONDS") ? atof(getenv("BENCH_SECONDS")) : 2.0;
enum { REPEATS = 3, SCALE_REPEATS = 5, RRD_SOURCES = 200, RRD_ROUNDS = 2, RRD_REPEATS = 7 };

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Set when a set-up failed: that section printed no figure.
static bool bench_failed;

static bool failed(const char *section, const char *what)
{
    fprintf(stderr, "%s: %s: no figure\n", section, what);
    bench_failed = true;
    return false;
}

// Blasts packets from every source in turn until stopped.
static void sender(int port, int sources, std::atomic<bool> *stop)
{
    std::vector<int> fds = source_sockets(sources);
    sockaddr_in to = loopback("127.0.0.1", port);
    uint64_t timestamp = 1700000000u;
    while (!stop->load()) {
        // One packet per round, sent by every source: the sender's own
        // work stays small next to what is measured.
        std::vector<uint8_t> p = if_packet(timestamp);
        for (int i = 0; i < sources && !stop->load(); i++) {
            sendto(fds[static_cast<size_t>(i)], p.data(), p.size(), 0,
                   reinterpret_cast<sockaddr *>(&to), sizeof(to));
        }
        timestamp++;
    }
    for (int fd : fds)
        close(fd);
}

// Throughput alone depends on how the two cores are shared between the
// sender, the kernel and the receiver; packets per CPU-second of the
// receiver itself does not.
struct rate {
    double per_second;
    double per_cpu_second;
};

static double thread_cpu()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static rate bare_loop(int sources)
{
    int fd;
    int port = sink_port(&fd);
    std::atomic<bool> stop{false};
    std::thread t(sender, port, sources, &stop);
    uint8_t buf[65536];
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    double cpu = thread_cpu();
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && recvfrom(fd, buf, sizeof(buf), 0, nullptr, nullptr) > 0)
            count++;
        if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(SECONDS))
            break;
    }
    cpu = thread_cpu() - cpu;
    stop = true;
    t.join();
    close(fd);
    return {count / SECONDS, count / cpu};
}

typedef void (*sender_loop)(int port, int sources, std::atomic<bool> *stop);

// {0, 0} when colvo did not start or no line came.
static rate colvo_rate(const std::string &colvo, const std::string &conf, int port, int sources,
                       sender_loop send = sender)
{
    colvo_run run = start_colvo(colvo, conf);
    if (run.fifo < 0 || run.pid <= 0) {
        stop_colvo(&run);
        return {0, 0};
    }
    std::atomic<bool> stop{false};
    std::thread t(send, port, sources, &stop);
    long lines = 0, before = 0;
    auto start = std::chrono::steady_clock::now();
    bool counting = false;
    double cpu = 0;
    for (;;) {
        // Counting starts after the first lines come.
        long n = fifo_read_lines(run.fifo, 100, counting ? &lines : &before);
        if (!counting && n > 0) {
            counting = true;
            start = std::chrono::steady_clock::now();
            cpu = process_cpu(run.pid);
        }
        auto waited = std::chrono::steady_clock::now() - start;
        if (counting ? waited > std::chrono::duration<double>(SECONDS) : waited > std::chrono::seconds(10))
            break;
    }
    cpu = process_cpu(run.pid) - cpu;
    stop = true;
    t.join();
    stop_colvo(&run);
    if (!counting || lines == 0 || cpu <= 0)
        return {0, 0};
    return {lines / SECONDS, lines / cpu};
}

// One socket sends for every source: IP_PKTINFO picks the local address of
// each datagram, so 10,000 sources need no 10,000 sockets.
struct multi_sender {
    int fd;
    sockaddr_in to;
};

static multi_sender open_multi_sender(int port)
{
    multi_sender m = {socket(AF_INET, SOCK_DGRAM, 0), loopback("127.0.0.1", port)};
    sockaddr_in any = loopback("0.0.0.0", 0);
    bind(m.fd, reinterpret_cast<sockaddr *>(&any), sizeof(any));
    return m;
}

static void send_from(const multi_sender &m, const std::string &host, const std::vector<uint8_t> &p)
{
    iovec v = {const_cast<uint8_t *>(p.data()), p.size()};
    char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr h = {};
    h.msg_name = const_cast<sockaddr_in *>(&m.to);
    h.msg_namelen = sizeof(m.to);
    h.msg_iov = &v;
    h.msg_iovlen = 1;
    h.msg_control = control;
    h.msg_controllen = sizeof(control);
    cmsghdr *c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info = {};
    inet_pton(AF_INET, host.c_str(), &info.ipi_spec_dst);
    memcpy(CMSG_DATA(c), &info, sizeof(info));
    sendmsg(m.fd, &h, 0);
}

// Ready once a packet comes through: colvo binds its port after it writes
// its pid file, and a large configuration is still being set up then. The
// probe is an interface record, which no benchmark stores; the lines of
// probes that came late are read off before counting starts. 0 when
// nothing came through.
static long wait_until_taking(const colvo_run &run, const multi_sender &m, const std::vector<uint8_t> &probe)
{
    long ready = 0;
    for (int tries = 0; tries < 600 && ready == 0; tries++) {
        send_from(m, spread_host(0), probe);
        fifo_read_lines(run.fifo, 100, &ready);
    }
    while (ready && fifo_read_lines(run.fifo, 200, &ready) >= 0) {
    }
    return ready;
}

enum { STEADY_RATE = 5000 };

// CPU per packet of a receiver at a steady rate, from random sources.
struct steady {
    double cpu_us;
    long rss_kib;
    long anon_kib; // the heap and other private memory: what sources cost
};

static void pace(const multi_sender &m, int sources, double seconds, const std::atomic<bool> *stop)
{
    auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> p = if_packet(1700000000u);
    uint32_t pick = 12345;
    for (long n = 0; !stop->load() && n < static_cast<long>(seconds * STEADY_RATE); n++) {
        if (n % 50 == 0)
            std::this_thread::sleep_until(start + std::chrono::duration<double>(double(n) / STEADY_RATE));
        pick = pick * 1103515245u + 12345u;
        send_from(m, spread_host(static_cast<int>((pick >> 8) % static_cast<uint32_t>(sources))), p);
    }
}

static double bare_steady_us(int sources)
{
    int fd;
    int port = sink_port(&fd);
    multi_sender m = open_multi_sender(port);
    std::atomic<bool> stop{false};
    std::thread t(pace, m, sources, SECONDS, &stop);
    uint8_t buf[65536];
    long count = 0;
    double cpu = thread_cpu();
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0)
            break;
        if (recvfrom(fd, buf, sizeof(buf), 0, nullptr, nullptr) > 0)
            count++;
    }
    cpu = thread_cpu() - cpu;
    t.join();
    close(m.fd);
    close(fd);
    return count ? cpu / count * 1e6 : 0;
}

static steady colvo_steady(const std::string &colvo, const std::string &dir, int sources)
{
    int port = free_port();
    colvo_run run = start_colvo(colvo, spread_conf(dir, port, sources));
    if (run.fifo < 0 || run.pid <= 0) {
        stop_colvo(&run);
        return {0, 0, 0};
    }
    multi_sender m = open_multi_sender(port);
    if (wait_until_taking(run, m, if_packet(1700000000u)) == 0) {
        close(m.fd);
        stop_colvo(&run);
        return {0, 0, 0};
    }
    long rss = rss_kib(run.pid), anon = status_kib(run.pid, "RssAnon:");
    std::atomic<bool> stop{false};
    double cpu = process_cpu(run.pid);
    std::thread t(pace, m, sources, SECONDS, &stop);
    long lines = 0;
    while (fifo_read_lines(run.fifo, 300, &lines) >= 0) {
    }
    cpu = process_cpu(run.pid) - cpu;
    t.join();
    close(m.fd);
    stop_colvo(&run);
    if (lines == 0)
        return {0, 0, 0};
    return {cpu / lines * 1e6, rss, anon};
}

// The database figures of one side: updates per second and per CPU-second,
// and the updates it could not make.
struct rrd_rate {
    double per_second;
    double per_cpu_second;
    long rejected;
};

// The value colvo stores for each data source at time t: the benchmark
// packet's, so both sides parse the same text.
static unsigned long long rrd_value(time_t t)
{
    return 1000ull * static_cast<unsigned long long>(t);
}

static long not_updated(const std::vector<std::string> &files, time_t t, bool through_daemon);

// The same updates as colvo makes, straight through the library, one round
// at each of the times given; every update's result is checked, and after
// each round (outside the timed part) every database, as colvo's are.
static rrd_rate bare_rrd_updates(const std::vector<std::string> &files, const std::vector<time_t> &times,
                                 bool through_daemon)
{
    double seconds = 0, cpu = 0;
    long updates = 0, rejected = 0;
    for (time_t t : times) {
        auto start = std::chrono::steady_clock::now();
        double cpu_before = thread_cpu();
        long failures = 0;
        for (const std::string &f : files) {
            char text[160];
            unsigned long long v = rrd_value(t);
            snprintf(text, sizeof(text), "%lld:%llu:%llu:%llu:%llu:%llu", static_cast<long long>(t), v, v,
                     v, v, v);
            char arg0[] = "rrdupdate", arg1[] = "--";
            char *argv[] = {arg0, arg1, const_cast<char *>(f.c_str()), text, nullptr};
            optind = 0;
            if (rrd_update(4, argv) != 0 || rrd_test_error())
                failures++;
            rrd_clear_error();
            updates++;
        }
        cpu += thread_cpu() - cpu_before;
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // A failed update leaves its file behind: counted once.
        rejected += std::max(failures, not_updated(files, t, through_daemon));
    }
    return {updates / seconds, updates / cpu, rejected};
}

// The files whose last update is not at time t: an update that failed, or
// one never made. Through rrdcached, each file's updates are written out
// first, so the file itself tells.
static long not_updated(const std::vector<std::string> &files, time_t t, bool through_daemon)
{
    long stale = 0;
    for (const std::string &f : files) {
        if (through_daemon && rrdc_flush(f.c_str()) != 0)
            stale++;
        else if (rrd_last_r(f.c_str()) != t)
            stale++;
        rrd_clear_error();
    }
    return stale;
}

// io(ada0) to io(ada9) stored for every source, under dir/<name><i>.
static std::string io_conf(const std::string &dir, int port, const std::string &name)
{
    std::string path = dir + "/" + name + ".conf";
    std::ofstream out(path);
    out << "mux 127.0.0.1 port " << port << "\n";
    for (int i = 0; i < RRD_SOURCES; i++) {
        std::string db = dir + "/" + name + std::to_string(i);
        mkdir(db.c_str(), 0755);
        out << "source " << spread_host(i) << " { accept {";
        for (int s = 0; s < BENCH_STREAMS; s++)
            out << " io(ada" << s << ")";
        out << " } datadir " << db << " }\n";
    }
    return path;
}

// Rounds of one packet per source at each of the times given, each round
// waited for in the FIFO, so no datagram is lost and every update is made;
// then, outside the timed part, every database is checked to hold the
// round's update. Per CPU-second of colvo as well as per second: the last
// lines of a round wait their few milliseconds in the FIFO batch while
// colvo is idle. per_second 0 when colvo did not start.
static rrd_rate colvo_rrd_updates(const std::string &colvo, const std::string &conf, int port,
                                  const std::vector<time_t> &times,
                                  const std::vector<std::string> &files, bool through_daemon)
{
    colvo_run run = start_colvo(colvo, conf);
    if (run.fifo < 0 || run.pid <= 0) {
        stop_colvo(&run);
        return {0, 0, 0};
    }
    multi_sender m = open_multi_sender(port);
    // The databases keep their times: the probe is not stored.
    long ready = wait_until_taking(run, m, if_packet(static_cast<uint64_t>(times[0])));
    long lines = 0, rejected = 0;
    double seconds = 0, cpu = 0;
    for (size_t r = 0; ready && r < times.size(); r++) {
        auto start = std::chrono::steady_clock::now();
        double cpu_before = process_cpu(run.pid);
        std::vector<uint8_t> p = bench_packet(STREAM_IO, "ada", static_cast<uint64_t>(times[r]), 1000);
        for (int i = 0; i < RRD_SOURCES; i++)
            send_from(m, spread_host(i), p);
        while (lines < static_cast<long>(r + 1) * RRD_SOURCES &&
               fifo_read_lines(run.fifo, 2000, &lines) >= 0) {
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += process_cpu(run.pid) - cpu_before;
        rejected += not_updated(files, times[r], through_daemon);
    }
    close(m.fd);
    stop_colvo(&run);
    if (ready == 0)
        return {0, 0, 0};
    long updates = static_cast<long>(times.size()) * RRD_SOURCES * BENCH_STREAMS;
    return {updates / seconds, updates / cpu, rejected};
}

// A private rrdcached for the databases under dir, on a socket there: it
// writes only when asked (or when it ends), as a cache set for the
// hour-long write delays of a large site.
struct rrd_cache {
    pid_t pid;
    std::string address;
};

static const char *rrdcached_binary()
{
    for (const char *path : {"/usr/bin/rrdcached", "/usr/sbin/rrdcached", "/usr/local/bin/rrdcached"})
        if (access(path, X_OK) == 0)
            return path;
    return nullptr;
}

static rrd_cache start_rrdcached(const std::string &dir)
{
    rrd_cache c = {0, "unix:" + dir + "/rrdcached.sock"};
    const char *binary = rrdcached_binary();
    if (binary == nullptr)
        return c;
    c.pid = spawn({binary, "-g", "-l", c.address, "-p", dir + "/rrdcached.pid", "-b", dir, "-B", "-w",
                   "3600", "-f", "7200"});
    // Up when it answers; the socket appears only once it listens.
    for (int tries = 0; tries < 100; tries++) {
        if (rrdc_connect(c.address.c_str()) == 0 && rrdc_is_connected(c.address.c_str()))
            return c;
        rrd_clear_error();
        usleep(50000);
    }
    kill(c.pid, SIGTERM);
    waitpid(c.pid, nullptr, 0);
    c.pid = 0;
    return c;
}

static void stop_rrdcached(rrd_cache *c)
{
    rrdc_disconnect();
    if (c->pid > 0) {
        kill(c->pid, SIGTERM);
        waitpid(c->pid, nullptr, 0);
    }
    c->pid = 0;
}

// Flooded throughput and CPU per packet, 50 sources, FIFO only.
static void flood(const std::string &bin, const std::string &dir)
{
    // Each figure the median of REPEATS runs, the measurements taken in
    // turn so that a noisy moment of the machine does not fall on one alone.
    const int many = 50;
    int port = free_port();
    std::string conf = write_colvo_conf(dir, port, many, false);
    std::vector<double> bare_rate, bare_per_cpu, colvo_rate_, colvo_per_cpu;
    for (int r = 0; r < REPEATS; r++) {
        rate b = bare_loop(many), c = colvo_rate(bin, conf, port, many);
        if (b.per_cpu_second <= 0 || c.per_cpu_second <= 0) {
            failed("flooded", b.per_cpu_second <= 0 ? "the bare loop received nothing"
                                                    : "colvo did not start or wrote no line");
            return;
        }
        bare_rate.push_back(b.per_second);
        bare_per_cpu.push_back(b.per_cpu_second);
        colvo_rate_.push_back(c.per_second);
        colvo_per_cpu.push_back(c.per_cpu_second);
    }
    rate bare = {median(bare_rate), median(bare_per_cpu)};
    rate fifo_only = {median(colvo_rate_), median(colvo_per_cpu)};
    printf("flooded, median of %d:\n", REPEATS);
    printf("bare recvfrom loop: %.0f packets/s, %.0f packets per CPU-second\n", bare.per_second,
           bare.per_cpu_second);
    printf("colvo, FIFO only (%d sources, %d streams/packet): %.0f packets/s (%.2f of bare), "
           "%.0f packets per CPU-second (%.2f of bare); %.1f us per packet against %.1f (%.2fx)\n",
           many, BENCH_STREAMS, fifo_only.per_second, fifo_only.per_second / bare.per_second,
           fifo_only.per_cpu_second, fifo_only.per_cpu_second / bare.per_cpu_second,
           1e6 / fifo_only.per_cpu_second, 1e6 / bare.per_cpu_second,
           bare.per_cpu_second / fifo_only.per_cpu_second);

}

// CPU per packet at a steady rate for 10 to 10,000 configured sources.
static void scale(const std::string &bin, const std::string &dir)
{
    printf("\nsteady %d packets/s from random sources, CPU per packet (median of %d):\n",
           STEADY_RATE, SCALE_REPEATS);
    const int counts[] = {10, 50, 100, 1000, 10000};
    const int sizes = static_cast<int>(sizeof(counts) / sizeof(counts[0]));
    std::vector<double> bare_us[sizes], colvo_us[sizes];
    long rss[sizes] = {}, anon[sizes] = {};
    for (int r = 0; r < SCALE_REPEATS; r++)
        for (int i = 0; i < sizes; i++) {
            double b = bare_steady_us(counts[i]);
            steady c = colvo_steady(bin, dir, counts[i]);
            if (b <= 0 || c.cpu_us <= 0) {
                failed("steady", b <= 0 ? "the bare loop received nothing"
                                        : "colvo did not start or wrote no line");
                return;
            }
            bare_us[i].push_back(b);
            colvo_us[i].push_back(c.cpu_us);
            rss[i] = c.rss_kib;
            anon[i] = c.anon_kib;
        }
    for (int i = 0; i < sizes; i++) {
        double b = median(bare_us[i]), c = median(colvo_us[i]);
        printf("  %5d sources: colvo %.1f us, bare loop %.1f us (%.2fx); %.2fx colvo's own at %d; "
               "colvo resident %ld KiB (%ld KiB private)\n",
               counts[i], c, b, b > 0 ? c / b : 0, c / median(colvo_us[0]), counts[0], rss[i],
               anon[i]);
    }
    // The private figure: the shared library pages a run happens to touch
    // move the resident one by more than a hundred KiB from run to run.
    printf("resident memory per configured source (10 streams each): %.2f KiB (%.2f KiB of all "
           "resident memory)\n",
           double(anon[sizes - 1] - anon[0]) / (counts[sizes - 1] - counts[0]),
           double(rss[sizes - 1] - rss[0]) / (counts[sizes - 1] - counts[0]));

}

// Packets signed as probo signs them, each source with its own key and
// sequence, stamped now (colvo refuses times far from its clock).
// Unsigned, the same work is done and the packet goes without its
// authenticator, so both runs send at the same pace.
static const uint8_t BENCH_KEY[KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                            17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
static const char BENCH_KEY_HEX[] = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";

// Source i's key: the bench key with its first byte i + 1 (a key belongs
// to one source).
static void source_key(int i, uint8_t key[KEY_SIZE])
{
    memcpy(key, BENCH_KEY, KEY_SIZE);
    key[0] = static_cast<uint8_t>(i + 1);
}

static void signing_sender(int port, int sources, std::atomic<bool> *stop, bool send_signed)
{
    std::vector<int> fds = source_sockets(sources);
    sockaddr_in to = loopback("127.0.0.1", port);
    std::vector<auth_key *> keys;
    for (int i = 0; i < sources; i++) {
        uint8_t key[KEY_SIZE];
        source_key(i, key);
        keys.push_back(auth_key_new(key));
    }
    std::vector<uint64_t> sequence(static_cast<size_t>(sources));
    while (!stop->load()) {
        std::vector<uint8_t> p = if_packet(static_cast<uint64_t>(time(nullptr)));
        int length = static_cast<int>(p.size());
        p.resize(p.size() + AUTH_SIZE);
        for (int i = 0; i < sources && !stop->load(); i++) {
            memset(p.data(), 0, 4);
            authenticator a = {AUTH_KIND_HMAC_SHA256_128, {1, 2, 3, 4, 5, 6, 7, 8},
                               sequence[static_cast<size_t>(i)]++};
            auth_sign(keys[static_cast<size_t>(i)], p.data(), length, &a);
            size_t size = send_signed ? p.size() : static_cast<size_t>(length);
            encode_fixed32(p.data(), crc32_compute(p.data(), size));
            sendto(fds[static_cast<size_t>(i)], p.data(), size, 0, reinterpret_cast<sockaddr *>(&to),
                   sizeof(to));
        }
    }
    for (auth_key *key : keys)
        auth_key_free(key);
    for (int fd : fds)
        close(fd);
}

static void signed_sender(int port, int sources, std::atomic<bool> *stop)
{
    signing_sender(port, sources, stop, true);
}

static void unsigned_sender(int port, int sources, std::atomic<bool> *stop)
{
    signing_sender(port, sources, stop, false);
}

// The FIFO-only configuration with a key for every source.
static std::string keyed_conf(const std::string &dir, const std::string &plain)
{
    std::ifstream in(plain);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), keyed;
    int source = 0;
    for (char c : text) {
        if (c == '}' && !keyed.empty() && keyed.back() == '\n') {
            char first[12];
            snprintf(first, sizeof(first), "%02x", source + 1);
            std::string key = dir + "/bench" + std::to_string(source++) + ".key";
            std::ofstream(key) << first << (BENCH_KEY_HEX + 2) << "\n";
            chmod(key.c_str(), 0600);
            keyed += " key \"" + key + "\"\n";
        }
        keyed += c;
    }
    std::string path = dir + "/keyed.conf";
    std::ofstream(path) << keyed;
    return path;
}

static void signing(const std::string &bin, const std::string &dir)
{
    const int many = 50;
    int port = free_port();
    std::string plain = write_colvo_conf(dir, port, many, false), keyed = keyed_conf(dir, plain);
    std::vector<double> plain_us, signed_us, bare_us;
    for (int r = 0; r < REPEATS; r++) {
        rate u = colvo_rate(bin, plain, port, many, unsigned_sender);
        rate k = colvo_rate(bin, keyed, port, many, signed_sender);
        rate b = bare_loop(many);
        if (u.per_cpu_second <= 0 || k.per_cpu_second <= 0) {
            printf("signed packets: colvo took none\n");
            exit(1);
        }
        plain_us.push_back(1e6 / u.per_cpu_second);
        signed_us.push_back(1e6 / k.per_cpu_second);
        bare_us.push_back(1e6 / b.per_cpu_second);
    }
    double u = median(plain_us), k = median(signed_us);
    printf("\nflooded, median of %d, %d sources, %d streams/packet: colvo %.1f us per signed "
           "packet from keyed sources, %.1f us per unsigned packet (%.2fx, goal at most 1.20x); "
           "bare recvfrom loop %.1f us\n",
           REPEATS, many, BENCH_STREAMS, k, u, k / u, median(bare_us));
}

static std::vector<std::string> database_files(const std::string &rrd_dir, const std::string &name)
{
    std::vector<std::string> files;
    for (int i = 0; i < RRD_SOURCES; i++)
        for (int d = 0; d < BENCH_STREAMS; d++)
            files.push_back(rrd_dir + "/" + name + std::to_string(i) + "/io_ada" + std::to_string(d) + ".rrd");
    return files;
}

// One variant of the database path, straight to the files or through
// rrdcached (at address): colvo and the bare loop in turn, each repeat a
// run of RRD_ROUNDS rounds at times that follow on from *next. false when
// a set-up failed or an update was rejected: then only why is printed.
static bool database_variant(const char *variant, const std::string &bin, const std::string &conf,
                             int port, const std::vector<std::string> &colvo_files,
                             const std::vector<std::string> &bare_files, const char *address,
                             time_t *next)
{
    // colvo and its librrd find the cache as the bare loop's does.
    if (address)
        setenv("RRDCACHED_ADDRESS", address, 1);
    std::vector<double> bare_wall, bare_cpu, colvo_wall, colvo_cpu;
    long colvo_rejected = 0, bare_rejected = 0;
    bool started = true;
    // Short runs, many of them, each side first in turn: this figure moves
    // most with the machine's moments.
    for (int r = 0; r < RRD_REPEATS && started; r++) {
        std::vector<time_t> times;
        for (int i = 0; i < RRD_ROUNDS; i++)
            times.push_back((*next)++);
        rrd_rate b = {0, 0, 0}, c = {0, 0, 0};
        if (r % 2)
            c = colvo_rrd_updates(bin, conf, port, times, colvo_files, address != nullptr);
        b = bare_rrd_updates(bare_files, times, address != nullptr);
        if (r % 2 == 0)
            c = colvo_rrd_updates(bin, conf, port, times, colvo_files, address != nullptr);
        started = c.per_second > 0;
        bare_wall.push_back(b.per_second);
        bare_cpu.push_back(b.per_cpu_second);
        colvo_wall.push_back(c.per_second);
        colvo_cpu.push_back(c.per_cpu_second);
        colvo_rejected += c.rejected;
        bare_rejected += b.rejected;
    }
    if (address)
        unsetenv("RRDCACHED_ADDRESS");
    if (!started)
        return failed(variant, "colvo did not start");
    if (colvo_rejected || bare_rejected) {
        char why[64];
        snprintf(why, sizeof(why), "rejected %ld/%ld", colvo_rejected, bare_rejected);
        return failed(variant, why);
    }
    printf("%s, %d files x 5 data sources on tmpfs (median of %d): colvo %.0f updates per "
           "CPU-second, bare librrd loop %.0f (%.2f of bare); per second %.0f and %.0f (%.2f); "
           "rejected %ld/%ld\n",
           variant, RRD_SOURCES * BENCH_STREAMS, RRD_REPEATS, median(colvo_cpu), median(bare_cpu),
           median(colvo_cpu) / median(bare_cpu), median(colvo_wall), median(bare_wall),
           median(colvo_wall) / median(bare_wall), colvo_rejected, bare_rejected);
    return true;
}

// The database path: 2,000 files of 5 data sources on tmpfs, each side its
// own, written straight and then through rrdcached.
static void database(const std::string &bin, const std::string &mkrrd, const std::string &dir)
{
    char rrd_tmpl[] = "/dev/shm/benchrrd.XXXXXX";
    std::string rrd_dir = mkdtemp(rrd_tmpl) ? rrd_tmpl : dir;
    int port = free_port();
    std::string stored_conf = io_conf(rrd_dir, port, "colvo");
    std::string bare_conf = io_conf(rrd_dir, port, "bare");
    std::string create = mkrrd + " -s 300 -f " + stored_conf + " >/dev/null && " + mkrrd + " -s 300 -f " +
                         bare_conf + " >/dev/null";
    printf("\n");
    if (system(create.c_str()) != 0) {
        failed("database path", "colvo-mkrrd failed");
    } else {
        // Every update after the files' start, one second apart: a database
        // refuses a time not past its last update.
        time_t next = time(nullptr) + 1;
        std::vector<std::string> colvo_files = database_files(rrd_dir, "colvo");
        std::vector<std::string> bare_files = database_files(rrd_dir, "bare");
        database_variant("database path, direct", bin, stored_conf, port, colvo_files, bare_files,
                         nullptr, &next);
        rrd_cache cache = start_rrdcached(rrd_dir);
        if (cache.pid <= 0)
            failed("database path, through rrdcached", "rrdcached did not start");
        else
            database_variant("database path, through rrdcached", bin, stored_conf, port, colvo_files,
                             bare_files, cache.address.c_str(), &next);
        stop_rrdcached(&cache);
    }
    std::string remove_rrd = "rm -rf " + std::string(rrd_dir);
    if (system(remove_rrd.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", rrd_dir.c_str());
}

// A live client reading colvo's socket until stopped; its lines in *lines.
static void live_client(std::atomic<bool> *stop, std::atomic<long> *lines)
{
    int fd = connect_live();
    long read_here = 0;
    while (fd >= 0 && !stop->load() && fifo_read_lines(fd, 100, &read_here) != 0) {
    }
    *lines += read_here;
    if (fd >= 0)
        close(fd);
}

// colvo's CPU per packet at a steady rate with clients on its live socket.
static double colvo_live_us(const std::string &colvo, const std::string &dir, int clients, int sources,
                            long *client_lines)
{
    int port = free_port();
    colvo_run run = start_colvo(colvo, spread_conf(dir, port, sources));
    if (run.fifo < 0 || run.pid <= 0) {
        stop_colvo(&run);
        return 0;
    }
    std::atomic<bool> stop_clients{false};
    std::atomic<long> lines_read{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < clients; i++)
        readers.emplace_back(live_client, &stop_clients, &lines_read);
    multi_sender m = open_multi_sender(port);
    long first_lines = wait_until_taking(run, m, if_packet(1700000000u));
    std::atomic<bool> stop{false};
    double cpu = process_cpu(run.pid);
    std::thread t(pace, m, sources, SECONDS, &stop);
    long lines = 0;
    while (fifo_read_lines(run.fifo, 300, &lines) >= 0) {
    }
    cpu = process_cpu(run.pid) - cpu;
    t.join();
    stop_clients = true;
    for (std::thread &r : readers)
        r.join();
    close(m.fd);
    stop_colvo(&run);
    *client_lines = lines_read.load();
    return first_lines && lines ? cpu / lines * 1e6 : 0;
}

static void live(const std::string &bin, const std::string &dir)
{
    const int sources = 50, clients = 4;
    std::vector<double> none, four;
    long got = 0, ignored = 0;
    for (int r = 0; r < SCALE_REPEATS; r++) {
        none.push_back(colvo_live_us(bin, dir, 0, sources, &ignored));
        four.push_back(colvo_live_us(bin, dir, clients, sources, &got));
        if (none.back() <= 0 || four.back() <= 0) {
            failed("live socket", "colvo did not start or wrote no line");
            return;
        }
    }
    double a = median(none), b = median(four);
    printf("\nsteady %d packets/s, %d sources, median of %d:\n", STEADY_RATE, sources, SCALE_REPEATS);
    printf("colvo, FIFO only: %.1f us per packet\n", a);
    printf("colvo, FIFO and %d live socket clients: %.1f us per packet (%.2fx; goal at most 1.3x); "
           "the clients read %ld lines in the last run\n",
           clients, b, a > 0 ? b / a : 0, got);
}

// bench_colvo [colvo [colvo-mkrrd [flood|scale|database|live|signed]]]:
// all of them unless one is named; an empty path takes the built one.
int main(int argc, char **argv)
{
    std::string bin = argc > 1 && argv[1][0] ? argv[1] : BENCH_COLVO;
    std::string mkrrd = argc > 2 && argv[2][0] ? argv[2] : BENCH_MKRRD;
    std::string only = argc > 3 ? argv[3] : "";
    setvbuf(stdout, nullptr, _IOLBF, 0);
    crc32_init_table();
    char tmpl[] = "/tmp/benchcolvo.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    if (only.empty() || only == "flood")
        flood(bin, dir);
    if (only.empty() || only == "scale")
        scale(bin, dir);
    if (only.empty() || only == "database")
        database(bin, mkrrd, dir);
    if (only.empty() || only == "live")
        live(bin, dir);
    if (only.empty() || only == "signed")
        signing(bin, dir);
    std::string cleanup = "rm -rf " + dir;
    return system(cleanup.c_str()) == 0 && !bench_failed ? 0 : 1;
}
