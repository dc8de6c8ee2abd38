// The real monitor on this host: each CPU's shares, with a busy loop pinned
// to one of them, and the loopback counters against traffic the test sends
// and against /proc read independently.
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "daemon.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN;

struct Host : ::testing::Test {
    temp_dir dir;
    udp_socket listener{"127.0.0.1"};

    std::string conf(const std::string &streams)
    {
        return dir.write("probo.conf", "monitor { " + streams +
                                           " } every second stream to 127.0.0.1 port " +
                                           std::to_string(listener.port()) + "\n");
    }

    received_packet next()
    {
        auto bytes = listener.receive(4000);
        EXPECT_FALSE(bytes.empty()) << "no packet in time";
        return bytes.empty() ? received_packet{} : parse(bytes);
    }
};

// A child that spins on one CPU until the test ends.
struct busy_loop {
    pid_t pid;
    explicit busy_loop(int cpu)
    {
        pid = fork();
        if (pid == 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            sched_setaffinity(0, sizeof(set), &set);
            for (volatile unsigned long n = 0;; n++) {
            }
        }
    }
    ~busy_loop()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// The CPUs the kernel reports, numbered as the monitor numbers them.
std::vector<int> reported_cpus()
{
    std::ifstream in("/proc/stat");
    std::string line;
    std::vector<int> cpus;
    while (std::getline(in, line))
        if (line.compare(0, 3, "cpu") == 0 && isdigit(static_cast<unsigned char>(line[3])) &&
            std::stoi(line.substr(3)) < 256)
            cpus.push_back(std::stoi(line.substr(3)));
    return cpus;
}

TEST_F(Host, CpuSharesSumToTheWholeAndFollowABusyLoop)
{
    std::vector<int> cpus = reported_cpus();
    ASSERT_FALSE(cpus.empty());
    cpu_set_t allowed;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof(allowed), &allowed));
    int busy = -1;
    std::string streams;
    for (int cpu : cpus) {
        streams += (streams.empty() ? "cpu(" : ", cpu(") + std::to_string(cpu) + ")";
        if (CPU_ISSET(cpu, &allowed))
            busy = cpu;
    }
    ASSERT_NE(-1, busy);
    busy_loop spin(busy);
    daemon_process d(PROBO, {"-d", "-u", "-f", conf(streams)});
    // The first interval may start before the loop spins.
    next();
    received_packet p = next();
    ASSERT_EQ(cpus.size(), p.streams.size()) << d.output();
    for (const unpacked_stream &s : p.streams) {
        ASSERT_EQ(STREAM_CPU, s.type);
        uint64_t sum = 0;
        for (int k = 0; k < 5; k++)
            sum += value_of(s, k);
        // Five shares, each rounded to a per-mille and then truncated.
        EXPECT_NEAR(10000.0, static_cast<double>(sum), 50) << "cpu " << s.argument;
        if (std::stoi(s.argument) == busy) {
            EXPECT_LE(value_of(s, 4), 500u) << "idle share of the busy cpu " << s.argument;
        }
    }
}

// lo's counters in /proc/net/dev: bytes and packets each way.
struct lo_counters {
    uint64_t ibytes = 0, ipackets = 0, obytes = 0, opackets = 0;
};

lo_counters proc_lo()
{
    std::ifstream in("/proc/net/dev");
    std::string line;
    lo_counters c;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        uint64_t skip;
        if (!(fields >> name) || name != "lo:")
            continue;
        fields >> c.ibytes >> c.ipackets;
        for (int i = 0; i < 6; i++)
            fields >> skip;
        fields >> c.obytes >> c.opackets;
    }
    return c;
}

lo_counters sent(const received_packet &p)
{
    lo_counters c;
    EXPECT_EQ(1u, p.streams.size());
    if (p.streams.size() != 1)
        return c;
    const unpacked_stream &s = p.streams[0];
    EXPECT_EQ(STREAM_IF, s.type);
    EXPECT_STREQ("lo", s.argument);
    EXPECT_EQ(0u, value_of(s, 5)) << "Linux counts no multicast sent";
    c.ipackets = value_of(s, 0);
    c.opackets = value_of(s, 1);
    c.ibytes = value_of(s, 2);
    c.obytes = value_of(s, 3);
    return c;
}

TEST_F(Host, LoopbackCountersRiseByTheBytesSent)
{
    const int DATAGRAMS = 200, SIZE = 1000;
    lo_counters before = proc_lo();
    daemon_process d(PROBO, {"-d", "-u", "-f", conf("if(lo)")});
    lo_counters a = sent(next());
    udp_socket sink("127.0.0.1"), sender("127.0.0.1");
    for (int i = 0; i < DATAGRAMS; i++)
        ASSERT_TRUE(sender.send_to("127.0.0.1", sink.port(), std::vector<uint8_t>(SIZE, 'x')));
    // The measurement after next is surely taken after the last datagram.
    next();
    lo_counters c = sent(next());
    lo_counters after = proc_lo();
    EXPECT_LE(before.ibytes, a.ibytes);
    EXPECT_LE(before.obytes, a.obytes);
    EXPECT_GE(c.ibytes - a.ibytes, uint64_t{DATAGRAMS * SIZE});
    EXPECT_GE(c.obytes - a.obytes, uint64_t{DATAGRAMS * SIZE});
    EXPECT_GE(c.ipackets - a.ipackets, uint64_t{DATAGRAMS});
    EXPECT_GE(c.opackets - a.opackets, uint64_t{DATAGRAMS});
    EXPECT_LE(c.ibytes, after.ibytes);
    EXPECT_LE(c.opackets, after.opackets);
}

} // namespace
