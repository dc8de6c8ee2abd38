// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The bare baseline of a monitor, as its own small process: woken by the
// interval timer every second, it sends one small datagram to the port
// given and measures nothing. Built as probo is (no C++ runtime), so its
// CPU and resident memory are what any such daemon pays on this host.
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

static void on_alarm(int) {}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    struct sigaction sa = {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGALRM);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    itimerval timer = {{1, 0}, {1, 0}};
    setitimer(ITIMER_REAL, &timer, nullptr);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char packet[64] = {};
    for (;;) {
        timespec sleep_time = {2, 0};
        pselect(0, nullptr, nullptr, nullptr, &sleep_time, &wait_mask);
        sendto(fd, packet, sizeof(packet), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    }
}
