// probo figures. In process, through the real probes and sockets: CPU per
// measurement sent to 3 muxes for three stream sets (load, mem and debug;
// this host's CPUs, loopback, disk and file system; 20 proc streams), and
// the allocations of a steady measurement, which should be none. The real
// monitor sending load and mem every second, beside a bare loop that sends
// without measuring: CPU per interval of each as a whole process over a run
// (60 s unless given), and their resident memory; then the monitor with a
// key beside the same monitor without one.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "alloc_count.h"
#include "colvo_run.h"
#include "crc32.h"
#include "error.h"
#include "probo.h"
#include "xmalloc.h"

static void quiet(int, const char *, ...) {}

static double cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The first line a shell command prints.
static std::string shell(const std::string &command)
{
    FILE *p = popen(command.c_str(), "r");
    char line[512] = "";
    if (p) {
        if (fgets(line, sizeof(line), p) == nullptr)
            line[0] = '\0';
        pclose(p);
    }
    line[strcspn(line, "\n")] = '\0';
    return line;
}

// This host's disk and file system holding the working directory, by the
// names the probes take (a whole Linux disk named by letters: vda is vd0).
static std::string host_disk()
{
    return shell("mm=$(mountpoint -d \"$(df --output=target . | tail -1)\"); "
                 "awk -v mm=\"$mm\" '$1 \":\" $2 == mm { print $3 }' /proc/diskstats | "
                 "awk '/^(xvd|sd|vd|hd)[a-z]+$/ { match($0, /^(xvd|sd|vd|hd)/); n = 0; "
                 "for (i = RLENGTH + 1; i <= length($0); i++) "
                 "n = n * 26 + index(\"abcdefghijklmnopqrstuvwxyz\", substr($0, i, 1)); "
                 "print substr($0, 1, RLENGTH) n - 1; next } { print }'");
}

struct measured {
    double us;
    size_t allocations;
};

// Three muxes of the same streams; measurements until the figures settle.
static measured per_measurement(int sink, const std::string &port,
                                const std::vector<std::pair<int, std::string>> &streams,
                                int rounds)
{
    mux_list muxes = {};
    for (int i = 0; i < 3; i++) {
        std::string name = "mux" + std::to_string(i);
        mux *m = mux_list_add(&muxes, name.c_str());
        m->interval = 1;
        m->address = xstrdup("127.0.0.1");
        m->port = xstrdup(port.c_str());
        for (const auto &s : streams)
            mux_add_stream(m, s.first, s.second.c_str());
        for (stream *s = m->streams.first; s; s = s->next)
            probe_table[s->type].start(s);
        mux_init_send_packet(m);
        open_mux_socket(m);
    }
    char drain[65536];
    for (int i = 0; i < 3; i++)
        measure(&muxes, 1700000000 + i, 1);
    size_t before = allocation_count();
    double start = cpu_seconds();
    for (int i = 0; i < rounds; i++) {
        measure(&muxes, 1700000100 + i, 1);
        while (recv(sink, drain, sizeof(drain), MSG_DONTWAIT) > 0) {
        }
    }
    measured r = {(cpu_seconds() - start) / rounds * 1e6, (allocation_count() - before) / rounds};
    mux_list_free(&muxes);
    return r;
}

// Two processes that each send one datagram per interval, to their own
// sink, measured side by side over the same seconds intervals once both
// run: CPU per interval of each and their resident memory at the end.
struct side_by_side {
    double us[2];
    long rss[2];
};

static side_by_side per_interval(const pid_t pid[2], const int sink[2], int seconds)
{
    char drain[2048];
    int got[2] = {0, 0};
    double cpu[2] = {0, 0};
    // Two packets each: both are in their loops by then.
    int window = 0;
    while (got[0] < 2 + seconds) {
        pollfd p[2] = {{sink[0], POLLIN, 0}, {sink[1], POLLIN, 0}};
        poll(p, 2, -1);
        for (int i = 0; i < 2; i++)
            while (recv(sink[i], drain, sizeof(drain), MSG_DONTWAIT) > 0)
                got[i]++;
        if (!window && got[0] >= 2 && got[1] >= 2) {
            window = 1;
            for (int i = 0; i < 2; i++) {
                cpu[i] = process_cpu(pid[i]);
                got[i] = 2;
            }
        }
    }
    side_by_side r;
    for (int i = 0; i < 2; i++) {
        r.us[i] = (process_cpu(pid[i]) - cpu[i]) / (got[i] - 2) * 1e6;
        r.rss[i] = rss_kib(pid[i]);
    }
    return r;
}

int main(int argc, char **argv)
{
    const char *probo = argc > 1 ? argv[1] : BENCH_PROBO;
    int seconds = argc > 2 ? atoi(argv[2]) : 60;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    daemonized = 1;
    log_syslog = quiet;
    crc32_init_table();
    int sink;
    std::string port = std::to_string(sink_port(&sink));

    measured base = per_measurement(sink, port, {{STREAM_LOAD, ""}, {STREAM_MEM, ""}, {STREAM_DEBUG, ""}}, 20000);
    printf("load, mem, debug to 3 muxes: %.1f us per measurement, %zu allocations\n", base.us,
           base.allocations);

    std::vector<std::pair<int, std::string>> host = {{STREAM_IF, "lo"}};
    for (long cpu = 0; cpu < sysconf(_SC_NPROCESSORS_CONF); cpu++)
        host.push_back({STREAM_CPU, std::to_string(cpu)});
    std::string disk = host_disk(), fs = shell("df --output=source . | tail -1");
    if (!disk.empty())
        host.push_back({STREAM_IO, disk});
    if (fs[0] == '/')
        host.push_back({STREAM_DF, fs});
    measured h = per_measurement(sink, port, host, 5000);
    printf("cpu(0..%ld), if(lo), io(%s), df(%s) to 3 muxes: %.1f us per measurement, %zu "
           "allocations\n",
           sysconf(_SC_NPROCESSORS_CONF) - 1, disk.c_str(), fs.c_str(), h.us, h.allocations);

    probe_table[STREAM_PROC].prepare();
    std::vector<std::pair<int, std::string>> procs;
    const char *prefixes[] = {"s", "k", "b", "c", "d", "e", "f", "g", "h", "i",
                              "j", "l", "m", "n", "o", "p", "r", "t", "u", "w"};
    for (const char *p : prefixes)
        procs.push_back({STREAM_PROC, p});
    measured pr = per_measurement(sink, port, procs, 500);
    printf("20 proc streams (%s processes) to 3 muxes: %.1f us per measurement, %zu allocations\n",
           shell("ls -d /proc/[0-9]* | wc -l").c_str(), pr.us, pr.allocations);

    // The real monitor, load and mem every second, beside the bare loop.
    char conf[] = "/tmp/benchprobo.XXXXXX";
    int fd = mkstemp(conf);
    std::string text = "monitor { load, mem } every second stream to 127.0.0.1 port " + port + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return 1;
    close(fd);
    int bare_sink;
    std::string bare_port = std::to_string(sink_port(&bare_sink));
    pid_t pids[2] = {spawn({probo, "-d", "-u", "-f", conf}), spawn({BENCH_BARE, bare_port})};
    int sinks[2] = {sink, bare_sink};
    side_by_side r = per_interval(pids, sinks, seconds);
    for (pid_t pid : pids) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    unlink(conf);
    printf("probo -d -u, load and mem every second, whole process over %d s: %.1f us per "
           "interval (bare timer-and-send loop beside it %.1f us, %.2fx)\n",
           seconds, r.us[0], r.us[1], r.us[0] / r.us[1]);
    printf("probo resident memory %ld KiB (%.2f MiB; bare loop %ld KiB, %.2fx)\n", r.rss[0],
           r.rss[0] / 1024.0, r.rss[1], static_cast<double>(r.rss[0]) / r.rss[1]);

    // Signed against unsigned, the same streams, side by side.
    char key[] = "/tmp/benchprobo-key.XXXXXX", keyed[] = "/tmp/benchprobo-keyed.XXXXXX",
         plain[] = "/tmp/benchprobo-plain.XXXXXX";
    int key_fd = mkstemp(key), keyed_fd = mkstemp(keyed);
    std::string hex(64, 'a');
    std::string keyed_text = "monitor { load, mem } every second stream to 127.0.0.1 port " + bare_port +
                             " key \"" + key + "\"\n";
    hex += "\n";
    if (write(key_fd, hex.data(), hex.size()) != static_cast<ssize_t>(hex.size()) ||
        write(keyed_fd, keyed_text.data(), keyed_text.size()) != static_cast<ssize_t>(keyed_text.size()))
        return 1;
    close(key_fd);
    close(keyed_fd);
    fd = mkstemp(plain);
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return 1;
    close(fd);
    pid_t pair[2] = {spawn({probo, "-d", "-u", "-f", keyed}), spawn({probo, "-d", "-u", "-f", plain})};
    int pair_sinks[2] = {bare_sink, sink};
    int short_run = seconds < 10 ? seconds : 10;
    side_by_side k = per_interval(pair, pair_sinks, short_run);
    long private_kib[2] = {status_kib(pair[0], "RssAnon:"), status_kib(pair[1], "RssAnon:")};
    for (pid_t pid : pair) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    unlink(plain);
    unlink(keyed);
    unlink(key);
    printf("probo with a key, load and mem every second over %d s: resident %ld KiB (%ld KiB "
           "private), %.1f us per interval; without a key beside it %ld KiB (%ld KiB private), "
           "%.1f us (%.2fx memory, %.2fx CPU)\n",
           short_run, k.rss[0], private_kib[0], k.us[0], k.rss[1], private_kib[1], k.us[1],
           static_cast<double>(k.rss[0]) / k.rss[1], k.us[0] / k.us[1]);
    return 0;
}
