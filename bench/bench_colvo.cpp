// colvo throughput on loopback: accepted packets per second (10 streams per
// packet, many sources) with FIFO output only and with every stream stored,
// next to a bare recvfrom loop fed by the same sender.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "colvo_run.h"
#include "crc32.h"

static const double SECONDS = 2.0;

// Blasts packets from every source in turn until stopped.
static void sender(int port, int sources, std::atomic<bool> *stop)
{
    std::vector<int> fds;
    for (int i = 0; i < sources; i++) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback(source_host(i), 0);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        fds.push_back(fd);
    }
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

// Time on CPU of a process, from the scheduler's own account.
static double process_cpu(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

static rate bare_loop(int sources)
{
    int port = free_port();
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback("127.0.0.1", port);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
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

static rate colvo_rate(const std::string &colvo, const std::string &conf, int port, int sources)
{
    colvo_run run = start_colvo(colvo, conf);
    if (run.fifo < 0 || run.pid <= 0) {
        stop_colvo(&run);
        return {0, 0};
    }
    std::atomic<bool> stop{false};
    std::thread t(sender, port, sources, &stop);
    char buf[1 << 16];
    long lines = 0;
    auto start = std::chrono::steady_clock::now();
    bool counting = false;
    double cpu = 0;
    for (;;) {
        pollfd p = {run.fifo, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = read(run.fifo, buf, sizeof(buf));
            for (ssize_t i = 0; i < n; i++)
                lines += counting && buf[i] == '\n';
            if (!counting && n > 0) {
                counting = true;
                start = std::chrono::steady_clock::now();
                cpu = process_cpu(run.pid);
            }
        }
        if (counting && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(SECONDS))
            break;
    }
    cpu = process_cpu(run.pid) - cpu;
    stop = true;
    t.join();
    stop_colvo(&run);
    return {lines / SECONDS, lines / cpu};
}

int main(int argc, char **argv)
{
    std::string bin = argc > 1 ? argv[1] : BENCH_COLVO;
    std::string mkrrd = argc > 2 ? argv[2] : BENCH_MKRRD;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    crc32_init_table();
    char tmpl[] = "/tmp/benchcolvo.XXXXXX";
    std::string dir = mkdtemp(tmpl);

    const int many = 50, stored = 10;
    rate bare = bare_loop(many);
    printf("bare recvfrom loop: %.0f packets/s, %.0f packets per CPU-second\n", bare.per_second,
           bare.per_cpu_second);

    int port = free_port();
    std::string conf = write_colvo_conf(dir, port, many, false);
    rate fifo_only = colvo_rate(bin, conf, port, many);
    printf("colvo, FIFO only (%d sources, %d streams/packet): %.0f packets/s (%.0f%% of bare), "
           "%.0f packets per CPU-second (%.0f%% of bare)\n",
           many, BENCH_STREAMS, fifo_only.per_second, 100 * fifo_only.per_second / bare.per_second,
           fifo_only.per_cpu_second, 100 * fifo_only.per_cpu_second / bare.per_cpu_second);

    port = free_port();
    conf = write_colvo_conf(dir, port, stored, true);
    std::string create = mkrrd + " -s 300 -f " + conf + " >/dev/null";
    if (system(create.c_str()) != 0)
        fprintf(stderr, "colvo-mkrrd failed\n");
    rate with_rrd = colvo_rate(bin, conf, port, stored);
    printf("colvo, FIFO and RRD (%d sources, %d files): %.0f packets/s, %.0f updates/s, %.0f "
           "packets per CPU-second\n",
           stored, stored * BENCH_STREAMS, with_rrd.per_second, with_rrd.per_second * BENCH_STREAMS,
           with_rrd.per_cpu_second);

    std::string cleanup = "rm -rf " + dir;
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
