#include "colvo_run.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/socket.h>
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

int free_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback("127.0.0.1", 0);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t length = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
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
    // the new one.
    unlink(COLVO_FIFO);
    unlink(COLVO_PIDFILE);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(colvo.c_str(), colvo.c_str(), "-f", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    colvo_run run = {0, -1};
    for (int i = 0; i < 500 && run.fifo < 0; i++) {
        usleep(10000); // the daemon creates the FIFO; nothing to wait on before it exists
        run.fifo = open(COLVO_FIFO, O_RDONLY | O_NONBLOCK);
    }
    waitpid(pid, nullptr, 0);
    // The detached child writes its pid file just after the parent exits.
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
