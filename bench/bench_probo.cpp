// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// probo figures. In process, through the real probes and sockets: CPU per
// measurement sent to 3 muxes for three stream sets (load, mem and debug;
// this host's CPUs, loopback, disk and file system; 20 proc streams), and
// the allocations of a steady measurement, which should be none. The real
// monitor sending load and mem every second, and then a realistic host's
// set (2 cpu, lo, a disk, the root file system, 5 process groups, load and
// mem), each beside a bare loop that sends without measuring: CPU per
// interval of each as a whole process over a run (60 s unless given), and
// their resident memory; then the monitor with a key beside the same
// monitor without one. A set-up that fails prints no figure and makes the
// exit status 1.
#include <algorithm>
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
    sender_list senders = {};
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
        sender *to = sender_list_add(&senders, m);
        sender_size_packet(to);
        open_sender_socket(to);
    }
    char drain[65536];
    for (int i = 0; i < 3; i++)
        measure(&senders, 1700000000 + i, 1);
    size_t before = allocation_count();
    double start = cpu_seconds();
    for (int i = 0; i < rounds; i++) {
        measure(&senders, 1700000100 + i, 1);
        while (recv(sink, drain, sizeof(drain), MSG_DONTWAIT) > 0) {
        }
    }
    measured r = {(cpu_seconds() - start) / rounds * 1e6, (allocation_count() - before) / rounds};
    sender_list_free(&senders);
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

// false when a process sent nothing for ten seconds: it did not start.
static bool per_interval(const pid_t pid[2], const int sink[2], int seconds, side_by_side *r)
{
    char drain[2048];
    int got[2] = {0, 0};
    double cpu[2] = {0, 0};
    // Two packets each: both are in their loops by then.
    int window = 0;
    time_t heard = time(nullptr);
    while (got[0] < 2 + seconds) {
        pollfd p[2] = {{sink[0], POLLIN, 0}, {sink[1], POLLIN, 0}};
        poll(p, 2, 1000);
        int before = got[0];
        for (int i = 0; i < 2; i++)
            while (recv(sink[i], drain, sizeof(drain), MSG_DONTWAIT) > 0)
                got[i]++;
        if (got[0] > before)
            heard = time(nullptr);
        else if (time(nullptr) - heard > 10)
            return false;
        if (!window && got[0] >= 2 && got[1] >= 2) {
            window = 1;
            for (int i = 0; i < 2; i++) {
                cpu[i] = process_cpu(pid[i]);
                got[i] = 2;
            }
        }
    }
    if (!window || got[1] <= 2)
        return false;
    for (int i = 0; i < 2; i++) {
        r->us[i] = (process_cpu(pid[i]) - cpu[i]) / (got[i] - 2) * 1e6;
        r->rss[i] = rss_kib(pid[i]);
    }
    return true;
}

// The real monitor with these streams every second, beside the bare loop,
// each sending to its own sink.
static bool monitor_beside_bare(const char *probo, const std::string &streams, int seconds,
                                side_by_side *r)
{
    int sinks[2];
    std::string port = std::to_string(sink_port(&sinks[0]));
    std::string bare_port = std::to_string(sink_port(&sinks[1]));
    char conf[] = "/tmp/benchprobo.XXXXXX";
    int fd = mkstemp(conf);
    if (fd < 0)
        return false;
    std::string text = "monitor { " + streams + " } every second stream to 127.0.0.1 port " + port + "\n";
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    bool measured = false;
    if (written) {
        pid_t pids[2] = {spawn({probo, "-d", "-u", "-f", conf}), 0};
        // Half an interval apart: each wakes an idle processor on its own,
        // and neither is charged for, or spared, waking it for the other.
        usleep(500000);
        pids[1] = spawn({BENCH_BARE, bare_port});
        measured = per_interval(pids, sinks, seconds, r);
        for (pid_t pid : pids) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    unlink(conf);
    close(sinks[0]);
    close(sinks[1]);
    return measured;
}

// load and mem every second with a key, beside the same monitor without
// one, over a short run: their resident and private memory and CPU.
static bool keyed_beside_plain(const char *probo, int seconds)
{
    int sinks[2];
    std::string keyed_port = std::to_string(sink_port(&sinks[0]));
    std::string plain_port = std::to_string(sink_port(&sinks[1]));
    char key[] = "/tmp/benchprobo-key.XXXXXX", keyed[] = "/tmp/benchprobo-keyed.XXXXXX",
         plain[] = "/tmp/benchprobo-plain.XXXXXX";
    int key_fd = mkstemp(key), keyed_fd = mkstemp(keyed), plain_fd = mkstemp(plain);
    std::string hex = std::string(64, 'a') + "\n";
    std::string keyed_text = "monitor { load, mem } every second stream to 127.0.0.1 port " +
                             keyed_port + " key \"" + key + "\"\n";
    std::string plain_text = "monitor { load, mem } every second stream to 127.0.0.1 port " + plain_port + "\n";
    bool written = key_fd >= 0 && keyed_fd >= 0 && plain_fd >= 0 &&
                   write(key_fd, hex.data(), hex.size()) == static_cast<ssize_t>(hex.size()) &&
                   write(keyed_fd, keyed_text.data(), keyed_text.size()) ==
                       static_cast<ssize_t>(keyed_text.size()) &&
                   write(plain_fd, plain_text.data(), plain_text.size()) ==
                       static_cast<ssize_t>(plain_text.size());
    for (int fd : {key_fd, keyed_fd, plain_fd})
        if (fd >= 0)
            close(fd);
    side_by_side k;
    bool measured = false;
    long private_kib[2] = {0, 0};
    if (written) {
        pid_t pair[2] = {spawn({probo, "-d", "-u", "-f", keyed}), 0};
        usleep(500000);
        pair[1] = spawn({probo, "-d", "-u", "-f", plain});
        measured = per_interval(pair, sinks, seconds, &k);
        for (int i = 0; i < 2; i++)
            private_kib[i] = status_kib(pair[i], "RssAnon:");
        for (pid_t pid : pair) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    unlink(plain);
    unlink(keyed);
    unlink(key);
    close(sinks[0]);
    close(sinks[1]);
    if (!measured)
        return false;
    printf("probo with a key, load and mem every second over %d s: resident %ld KiB (%ld KiB "
           "private), %.1f us per interval; without a key beside it %ld KiB (%ld KiB private), "
           "%.1f us (%.2fx memory, %.2fx CPU)\n",
           seconds, k.rss[0], private_kib[0], k.us[0], k.rss[1], private_kib[1], k.us[1],
           static_cast<double>(k.rss[0]) / k.rss[1], k.us[0] / k.us[1]);
    return true;
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

    // The real monitor every second, beside the bare loop: load and mem,
    // then a realistic host's set.
    int status = 0;
    std::string realistic = "if(lo), load, mem";
    for (long cpu = 0; cpu < std::min(2L, sysconf(_SC_NPROCESSORS_CONF)); cpu++)
        realistic += ", cpu(" + std::to_string(cpu) + ")";
    if (!disk.empty())
        realistic += ", io(" + disk + ")";
    if (fs[0] == '/')
        realistic += ", df(" + fs + ")";
    // Process groups that are there on any host running this: the monitor,
    // the bare loop, this program; and two a server often has.
    for (const char *group : {"probo", "bare_", "bench_", "sshd", "cron"})
        realistic += std::string(", proc(") + group + ")";
    const struct {
        const char *name;
        std::string streams;
    } sets[] = {{"load and mem", "load, mem"}, {"realistic set", realistic}};
    for (const auto &set : sets) {
        side_by_side r;
        if (!monitor_beside_bare(probo, set.streams, seconds, &r)) {
            fprintf(stderr, "probo -d -u, %s: it or the bare loop sent nothing: no figure\n", set.name);
            status = 1;
            continue;
        }
        printf("probo -d -u, %s every second, whole process over %d s: %.1f us per interval "
               "(bare timer-and-send loop beside it %.1f us, %.2fx)\n",
               set.name, seconds, r.us[0], r.us[1], r.us[0] / r.us[1]);
        printf("probo resident memory %ld KiB (%.2f MiB; bare loop %ld KiB, %.2fx)\n", r.rss[0],
               r.rss[0] / 1024.0, r.rss[1], static_cast<double>(r.rss[0]) / r.rss[1]);
    }
    printf("realistic set: %s\n", realistic.c_str());

    // Signed against unsigned, the same streams, side by side.
    if (!keyed_beside_plain(probo, seconds < 10 ? seconds : 10)) {
        fprintf(stderr, "probo with a key beside one without: one sent nothing: no figure\n");
        status = 1;
    }
    return status;
}
