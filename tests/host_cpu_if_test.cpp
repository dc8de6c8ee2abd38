// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The real monitor on this host: each CPU's shares, with a busy loop pinned
// to one of them, and the loopback counters against traffic the test sends
// and against /proc read independently.
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

struct Host : ::testing::Test {
    temp_dir dir;
    udp_socket listener{"127.0.0.1"};
    std::unique_ptr<daemon_process> probo;

    void run(const std::string &streams)
    {
        std::string conf = dir.write("probo.conf", "monitor { " + streams + " } every second " +
                                                       "stream to 127.0.0.1 port " +
                                                       std::to_string(listener.port()) + "\n");
        probo.reset(new daemon_process(PROBO_BIN, {"-d", "-u", "-f", conf}));
    }

    std::vector<unpacked_stream> next()
    {
        auto bytes = listener.receive(4000);
        EXPECT_FALSE(bytes.empty()) << "no packet in time";
        return bytes.empty() ? std::vector<unpacked_stream>{} : parse(bytes).streams;
    }
};

TEST_F(Host, CpuSharesSumToTheWholeAndFollowABusyLoop)
{
    cpu_set_t allowed;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof(allowed), &allowed));
    std::ifstream in("/proc/stat");
    std::string line, streams;
    int busy = -1, count = 0;
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "cpu") != 0 || !isdigit(static_cast<unsigned char>(line[3])))
            continue;
        int cpu = std::stoi(line.substr(3));
        streams += (count++ ? ", cpu(" : "cpu(") + std::to_string(cpu) + ")";
        if (cpu < CPU_SETSIZE && CPU_ISSET(cpu, &allowed))
            busy = cpu;
    }
    ASSERT_NE(-1, busy);
    pid_t spinner = fork();
    if (spinner == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(busy, &one);
        sched_setaffinity(0, sizeof(one), &one);
        for (volatile unsigned long n = 0;; n++) {
        }
    }
    run(streams);
    next(); // the first interval may start before the loop spins
    std::vector<unpacked_stream> cpus = next();
    kill(spinner, SIGKILL);
    waitpid(spinner, nullptr, 0);
    ASSERT_EQ(static_cast<size_t>(count), cpus.size()) << probo->output();
    for (const unpacked_stream &s : cpus) {
        uint64_t sum = 0;
        for (int k = 0; k < 5; k++)
            sum += value_of(s, k);
        // Five shares, each rounded to a per-mille, then truncated on the wire.
        EXPECT_NEAR(10000.0, static_cast<double>(sum), 50) << "cpu " << s.argument;
        if (std::stoi(s.argument) == busy) {
            EXPECT_LE(value_of(s, 4), 500u) << "idle share of the busy cpu";
        }
    }
}

// lo's bytes and packets received and sent, from /proc/net/dev.
std::vector<uint64_t> proc_lo()
{
    std::ifstream in("/proc/net/dev");
    std::string line, name;
    std::vector<uint64_t> column(16);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (fields >> name && name == "lo:")
            for (uint64_t &c : column)
                fields >> c;
    }
    return {column[1], column[9], column[0], column[8]};
}

// The first four counters of an if(lo) record: packets and bytes each way.
std::vector<uint64_t> sent(const std::vector<unpacked_stream> &streams)
{
    EXPECT_EQ(1u, streams.size());
    if (streams.size() != 1)
        return {0, 0, 0, 0};
    EXPECT_EQ(STREAM_IF, streams[0].type);
    EXPECT_EQ(0u, value_of(streams[0], 5)) << "Linux counts no multicast sent";
    return {value_of(streams[0], 0), value_of(streams[0], 1), value_of(streams[0], 2),
            value_of(streams[0], 3)};
}

TEST_F(Host, LoopbackCountersRiseByTheBytesSent)
{
    const uint64_t DATAGRAMS = 200, SIZE = 1000;
    std::vector<uint64_t> before = proc_lo();
    run("if(lo)");
    std::vector<uint64_t> a = sent(next());
    udp_socket sink("127.0.0.1"), sender("127.0.0.1");
    for (uint64_t i = 0; i < DATAGRAMS; i++)
        ASSERT_TRUE(sender.send_to("127.0.0.1", sink.port(), std::vector<uint8_t>(SIZE, 'x')));
    next(); // the measurement after it surely follows the last datagram
    std::vector<uint64_t> c = sent(next());
    std::vector<uint64_t> after = proc_lo();
    for (int i = 0; i < 4; i++) {
        EXPECT_LE(before[i], a[i]) << i;
        EXPECT_GE(c[i] - a[i], i < 2 ? DATAGRAMS : DATAGRAMS * SIZE) << i;
        EXPECT_LE(c[i], after[i]) << i;
    }
}

} // namespace
