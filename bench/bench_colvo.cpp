// colvo throughput on loopback: accepted packets per second (10 streams per
// packet, many sources) with FIFO output only and with every stream stored,
// next to a bare recvfrom loop fed by the same sender.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config.h"
#include "crc32.h"
#include "packet.h"
#include "types.h"

enum { STREAMS = 10 };
static const double SECONDS = 2.0;

static sockaddr_in loopback(const std::string &host, int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

static std::string source_host(int i)
{
    return "127.0.0." + std::to_string(2 + i);
}

static std::vector<uint8_t> packet(uint64_t timestamp)
{
    std::vector<uint8_t> p(2048);
    packet_header h = {timestamp, 0, 0, PACKET_VERSION};
    int offset = header_to_wire(p.data(), &h);
    for (int i = 0; i < STREAMS; i++) {
        std::string name = "em" + std::to_string(i);
        unsigned long long v = 1000000ull * timestamp;
        offset += pack_stream(p.data() + offset, 2048 - offset, name.c_str(), STREAM_IF, v, v, v, v,
                              v, v, v, v, v, v);
    }
    h.length = static_cast<uint16_t>(offset);
    header_to_wire(p.data(), &h);
    h.crc = crc32_compute(p.data(), static_cast<size_t>(offset));
    header_to_wire(p.data(), &h);
    p.resize(static_cast<size_t>(offset));
    return p;
}

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
        std::vector<uint8_t> p = packet(timestamp);
        for (int i = 0; i < sources && !stop->load(); i++) {
            sendto(fds[static_cast<size_t>(i)], p.data(), p.size(), 0,
                   reinterpret_cast<sockaddr *>(&to), sizeof(to));
        }
        timestamp++;
    }
    for (int fd : fds)
        close(fd);
}

static int free_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback("127.0.0.1", 0);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t length = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
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
    // A FIFO or pid file left by an earlier run must not be mistaken for
    // the new one.
    unlink(COLVO_FIFO);
    unlink(COLVO_PIDFILE);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        // Detached, as in production: no debug formatting per packet.
        execl(colvo.c_str(), colvo.c_str(), "-f", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // Ready once the FIFO exists and a probe packet comes through.
    int fifo = -1;
    for (int i = 0; i < 500 && fifo < 0; i++) {
        usleep(10000); // the daemon creates the FIFO; nothing to wait on before it exists
        fifo = open(COLVO_FIFO, O_RDONLY | O_NONBLOCK);
    }
    if (fifo < 0) {
        kill(pid, SIGKILL);
        return {0, 0};
    }
    std::atomic<bool> stop{false};
    std::thread t(sender, port, sources, &stop);
    char buf[1 << 16];
    long lines = 0;
    auto start = std::chrono::steady_clock::now();
    bool counting = false;
    waitpid(pid, nullptr, 0);
    // The detached child writes its pid file just after the parent exits.
    pid_t daemon_pid = 0;
    for (int i = 0; i < 500 && daemon_pid <= 0; i++) {
        std::ifstream pidfile(COLVO_PIDFILE);
        if (!(pidfile >> daemon_pid))
            usleep(10000);
    }
    double cpu = 0;
    for (;;) {
        pollfd p = {fifo, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = read(fifo, buf, sizeof(buf));
            for (ssize_t i = 0; i < n; i++)
                lines += counting && buf[i] == '\n';
            if (!counting && n > 0) {
                counting = true;
                start = std::chrono::steady_clock::now();
                cpu = process_cpu(daemon_pid);
            }
        }
        if (counting && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(SECONDS))
            break;
    }
    cpu = process_cpu(daemon_pid) - cpu;
    stop = true;
    t.join();
    if (daemon_pid > 0)
        kill(daemon_pid, SIGTERM);
    close(fifo);
    return {lines / SECONDS, lines / cpu};
}

static std::string write_conf(const std::string &dir, int port, int sources, bool store)
{
    std::string path = dir + (store ? "/store.conf" : "/fifo.conf");
    std::ofstream out(path);
    out << "mux 127.0.0.1 port " << port << "\n";
    for (int i = 0; i < sources; i++) {
        out << "source " << source_host(i) << " {\n accept {";
        for (int s = 0; s < STREAMS; s++)
            out << " if(em" << s << ")";
        out << " }\n";
        if (store) {
            std::string db = dir + "/db" + std::to_string(i);
            std::string mk = "mkdir -p " + db;
            if (system(mk.c_str()) != 0)
                return "";
            out << " datadir " << db << "\n";
        }
        out << "}\n";
    }
    return path;
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
    std::string conf = write_conf(dir, port, many, false);
    rate fifo_only = colvo_rate(bin, conf, port, many);
    printf("colvo, FIFO only (%d sources, %d streams/packet): %.0f packets/s (%.0f%% of bare), "
           "%.0f packets per CPU-second (%.0f%% of bare)\n",
           many, STREAMS, fifo_only.per_second, 100 * fifo_only.per_second / bare.per_second,
           fifo_only.per_cpu_second, 100 * fifo_only.per_cpu_second / bare.per_cpu_second);

    port = free_port();
    conf = write_conf(dir, port, stored, true);
    std::string create = mkrrd + " -s 300 -f " + conf + " >/dev/null";
    if (system(create.c_str()) != 0)
        fprintf(stderr, "colvo-mkrrd failed\n");
    rate with_rrd = colvo_rate(bin, conf, port, stored);
    printf("colvo, FIFO and RRD (%d sources, %d files): %.0f packets/s, %.0f updates/s, %.0f "
           "packets per CPU-second\n",
           stored, stored * STREAMS, with_rrd.per_second, with_rrd.per_second * STREAMS,
           with_rrd.per_cpu_second);

    std::string cleanup = "rm -rf " + dir;
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
