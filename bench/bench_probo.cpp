// probo figures: CPU time per measurement for load, mem and debug streams
// sent to 3 muxes (in process, through the real probes and sockets), and
// the resident memory of the real monitor while it runs.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

static int sink_port(int *fd)
{
    *fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    bind(*fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t length = sizeof(a);
    getsockname(*fd, reinterpret_cast<sockaddr *>(&a), &length);
    return ntohs(a.sin_port);
}

static long rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        std::getline(status, key);
    }
    return 0;
}

int main(int argc, char **argv)
{
    daemonized = 1;
    log_syslog = quiet;
    crc32_init_table();
    int sink;
    std::string port = std::to_string(sink_port(&sink));

    mux_list muxes = {};
    for (int i = 0; i < 3; i++) {
        std::string name = "mux" + std::to_string(i);
        mux *m = mux_list_add(&muxes, name.c_str());
        m->interval = 1;
        m->address = xstrdup("127.0.0.1");
        m->port = xstrdup(port.c_str());
        for (int type : {STREAM_LOAD, STREAM_MEM, STREAM_DEBUG})
            probe_table[type].start(mux_add_stream(m, type, ""));
        mux_init_send_packet(m);
        open_mux_socket(m);
    }
    const int rounds = 20000;
    char drain[2048];
    double start = cpu_seconds();
    for (int i = 0; i < rounds; i++) {
        measure(&muxes, 1700000000 + i, 1);
        while (recv(sink, drain, sizeof(drain), MSG_DONTWAIT) > 0) {
        }
    }
    double used = cpu_seconds() - start;
    printf("CPU per measurement (load, mem, debug to 3 muxes; sink included): %.1f us\n",
           used / rounds * 1e6);
    mux_list_free(&muxes);

    // The real monitor, every second, for a few measurements.
    const char *probo = argc > 1 ? argv[1] : BENCH_PROBO;
    char conf[] = "/tmp/benchprobo.XXXXXX";
    int fd = mkstemp(conf);
    // Three muxes to one sink need three names: vary the interval.
    std::string text = "monitor { load, mem, debug } every second stream to 127.0.0.1 port " + port + "\n" +
           "monitor { load, mem, debug } every 2 seconds stream to 127.0.0.1 port " + port + "\n" +
           "monitor { load, mem, debug } every 3 seconds stream to 127.0.0.1 port " + port + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return 1;
    close(fd);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(probo, probo, "-d", "-u", "-f", conf, static_cast<char *>(nullptr));
        _exit(127);
    }
    // Wait for six packets: the monitor is in its loop by then.
    for (int got = 0; got < 6;) {
        if (recv(sink, drain, sizeof(drain), 0) > 0)
            got++;
    }
    long rss = rss_kib(pid);
    printf("probo resident memory while running: %ld KiB (%.2f MiB)\n", rss, rss / 1024.0);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    unlink(conf);
    return 0;
}
