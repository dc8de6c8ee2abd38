// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo soak: valid packets at a paced rate from many sources through the
// real daemon with a reader on its FIFO. Prints packets sent against lines
// received, the kernel's drops on colvo's socket, and colvo's resident
// memory early and late. Arguments: packets (1000000), packets/s (10000).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "colvo_run.h"
#include "crc32.h"

enum { SOURCES = 50, BATCH = 50 };

// Drops the kernel counted on the UDP socket bound to port.
static long socket_drops(int port)
{
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);
    char local[16];
    snprintf(local, sizeof(local), ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string field, address;
        fields >> field >> address;
        if (address.size() < 5 || address.compare(address.size() - 5, 5, local) != 0)
            continue;
        long drops = 0;
        while (fields >> field)
            drops = atol(field.c_str()); // the last column
        return drops;
    }
    return -1;
}

static void sender(int port, long packets, long rate, std::atomic<long> *sent)
{
    std::vector<int> fds = source_sockets(SOURCES);
    sockaddr_in to = loopback("127.0.0.1", port);
    auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> p = if_packet(1700000000u);
    for (long n = 0; n < packets; n++) {
        if (n % BATCH == 0) {
            p = if_packet(1700000000u + static_cast<uint64_t>(n / SOURCES));
            std::this_thread::sleep_until(start + std::chrono::duration<double>(double(n) / rate));
        }
        if (sendto(fds[static_cast<size_t>(n % SOURCES)], p.data(), p.size(), 0,
                   reinterpret_cast<sockaddr *>(&to), sizeof(to)) < 0)
            perror("sendto");
        sent->store(n + 1);
    }
    for (int fd : fds)
        close(fd);
}

int main(int argc, char **argv)
{
    long packets = argc > 1 ? atol(argv[1]) : 1000000;
    long rate = argc > 2 ? atol(argv[2]) : 10000;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    crc32_init_table();
    char tmpl[] = "/tmp/soakcolvo.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    int port = free_port();
    colvo_run run = start_colvo(BENCH_COLVO, write_colvo_conf(dir, port, SOURCES, false));
    if (run.fifo < 0 || run.pid <= 0) {
        fprintf(stderr, "colvo did not start\n");
        return 1;
    }
    std::atomic<long> sent{0};
    std::thread t(sender, port, packets, rate, &sent);
    long lines = 0, rss_early = 0;
    auto last_line = std::chrono::steady_clock::now();
    // Until every packet is accounted for, or nothing came for a second.
    while (std::chrono::steady_clock::now() - last_line < std::chrono::seconds(1) || sent < packets) {
        if (fifo_read_lines(run.fifo, 100, &lines) < 0)
            continue;
        last_line = std::chrono::steady_clock::now();
        if (rss_early == 0 && lines >= packets / 10)
            rss_early = rss_kib(run.pid);
        if (lines >= packets)
            break;
    }
    t.join();
    long rss_late = rss_kib(run.pid);
    printf("packets sent %ld at %ld/s from %d sources, lines received %ld, lost %ld\n", packets, rate,
           SOURCES, lines, packets - lines);
    printf("drops counted by the kernel on colvo's socket: %ld\n", socket_drops(port));
    printf("colvo resident memory: %ld KiB after a tenth, %ld KiB at the end\n", rss_early, rss_late);
    stop_colvo(&run);
    std::string cleanup = "rm -rf " + dir;
    return system(cleanup.c_str()) == 0 && lines == packets ? 0 : 1;
}
