// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "colvo_run.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config.h"
#include "crc32.h"
#include "packet.h"
#include "types.h"

sockaddr_in loopback(const std::string &host, int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

std::string source_host(int i)
{
    return "127.0.0." + std::to_string(2 + i);
}

int sink_port(int *fd)
{
    *fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback("127.0.0.1", 0);
    bind(*fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t length = sizeof(a);
    getsockname(*fd, reinterpret_cast<sockaddr *>(&a), &length);
    return ntohs(a.sin_port);
}

int free_port()
{
    int fd;
    int port = sink_port(&fd);
    close(fd);
    return port;
}

std::string spread_host(int i)
{
    return "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
}

std::string spread_conf(const std::string &dir, int port, int count)
{
    std::string path = dir + "/spread" + std::to_string(count) + ".conf";
    std::ofstream out(path);
    out << "mux 127.0.0.1 port " << port << "\n";
    for (int i = 0; i < count; i++) {
        out << "source " << spread_host(i) << " { accept {";
        for (int s = 0; s < BENCH_STREAMS; s++)
            out << " if(em" << s << ")";
        out << " } }\n";
    }
    return path;
}

std::vector<int> source_sockets(int count)
{
    std::vector<int> fds;
    for (int i = 0; i < count; i++) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback(source_host(i), 0);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        fds.push_back(fd);
    }
    return fds;
}

std::vector<uint8_t> bench_packet(int type, const char *prefix, uint64_t timestamp, uint64_t scale)
{
    std::vector<uint8_t> p(2048);
    packet_header h = {timestamp, 0, 0, PACKET_VERSION};
    int offset = header_to_wire(p.data(), &h);
    unsigned long long v = scale * timestamp;
    for (int i = 0; i < BENCH_STREAMS; i++) {
        std::string name = prefix + std::to_string(i);
        // Every value an unsigned 64-bit one: the types used here are all L.
        offset += pack_stream(p.data() + offset, 2048 - offset, name.c_str(), type, v, v, v, v, v, v,
                              v, v, v, v);
    }
    h.length = static_cast<uint16_t>(offset);
    header_to_wire(p.data(), &h);
    h.crc = crc32_compute(p.data(), static_cast<size_t>(offset));
    header_to_wire(p.data(), &h);
    p.resize(static_cast<size_t>(offset));
    return p;
}

std::vector<uint8_t> if_packet(uint64_t timestamp)
{
    return bench_packet(STREAM_IF, "em", timestamp, 1000000);
}

std::string write_colvo_conf(const std::string &dir, int port, int sources, bool store)
{
    std::string path = dir + (store ? "/store.conf" : "/fifo.conf");
    std::ofstream out(path);
    out << "mux 127.0.0.1 port " << port << "\n";
    for (int i = 0; i < sources; i++) {
        out << "source " << source_host(i) << " {\n accept {";
        for (int s = 0; s < BENCH_STREAMS; s++)
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

colvo_run start_colvo(const std::string &colvo, const std::string &conf)
{
    // A FIFO or pid file left by an earlier run must not be mistaken for
    // the new one, and what an earlier run's senders sent must not make
    // this run's replays.
    unlink(COLVO_FIFO);
    unlink(COLVO_PIDFILE);
    unlink(COLVO_STATE);
    pid_t pid = spawn({colvo, "-u", "-f", conf});
    colvo_run run = {0, -1};
    for (int i = 0; i < 500 && run.fifo < 0; i++) {
        usleep(10000); // the daemon creates the FIFO; nothing to wait on before it exists
        run.fifo = open(COLVO_FIFO, O_RDONLY | O_NONBLOCK);
    }
    waitpid(pid, nullptr, 0);
    // Written before the starting command returns; older colvos wrote it
    // just after.
    for (int i = 0; i < 500 && run.pid <= 0; i++) {
        std::ifstream pidfile(COLVO_PIDFILE);
        if (!(pidfile >> run.pid))
            usleep(10000);
    }
    return run;
}

void stop_colvo(colvo_run *run)
{
    if (run->pid > 0)
        kill(run->pid, SIGTERM);
    if (run->fifo >= 0)
        close(run->fifo);
    run->pid = 0;
    run->fifo = -1;
}

long status_kib(pid_t pid, const char *field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == field) {
            status >> value;
            return value;
        }
        std::getline(status, key);
    }
    return 0;
}

long rss_kib(pid_t pid)
{
    return status_kib(pid, "VmRSS:");
}

double process_cpu(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

pid_t spawn(const std::vector<std::string> &args)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

long fifo_read_lines(int fifo, int timeout_ms, long *lines)
{
    static thread_local char buf[1 << 16];
    pollfd p = {fifo, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return -1;
    ssize_t n = read(fifo, buf, sizeof(buf));
    for (ssize_t i = 0; i < n; i++)
        *lines += buf[i] == '\n';
    return n;
}

int connect_live()
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", COLVO_SOCKET);
    for (int i = 0; i < 500; i++) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0)
            return fd;
        usleep(10000);
    }
    close(fd);
    return -1;
}
