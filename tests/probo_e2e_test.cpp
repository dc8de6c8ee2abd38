// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The real probo binary on loopback, read by test listeners.
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "codec.h"
#include "config.h"
#include "crc32.h"
#include "daemon.h"
#include "packet.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN;

struct Probo : ::testing::Test {
    temp_dir dir;
    udp_socket listener{"127.0.0.1"};
    std::string conf;

    std::string to(const udp_socket &l) const
    {
        return "stream to 127.0.0.1 port " + std::to_string(l.port()) + "\n";
    }
    void write_conf(const std::string &text) { conf = dir.write("probo.conf", text); }

    received_packet next(udp_socket &l, int timeout_ms = 4000)
    {
        auto bytes = l.receive(timeout_ms);
        EXPECT_FALSE(bytes.empty()) << "no packet in time";
        return bytes.empty() ? received_packet{} : parse(bytes);
    }
};

TEST_F(Probo, VersionAndUsage)
{
    std::string out;
    EXPECT_EQ(64, run_command(PROBO, {"-v"}, &out));
    EXPECT_EQ("probo version 2.90\nusage: probo [-d] [-t] [-u] [-v] [-f cfgfile]\n", out);
    EXPECT_EQ(64, run_command(PROBO, {"-x"}, &out));
    EXPECT_NE(std::string::npos, out.find("usage: probo [-d] [-t] [-u] [-v] [-f cfgfile]"));
}

TEST_F(Probo, TestModeLeavesThePidFileAlone)
{
    {
        std::ofstream pid(PROBO_PIDFILE);
        pid << "untouched\n";
    }
    write_conf("monitor { load } " + to(listener));
    std::string out;
    EXPECT_EQ(0, run_command(PROBO, {"-t", "-f", conf}, &out));
    EXPECT_EQ(conf + ": ok\n", out);
    write_conf("monitor { load } stream");
    EXPECT_EQ(1, run_command(PROBO, {"-t", "-f", conf}, &out));
    EXPECT_NE(std::string::npos, out.find("fatal: configuration file contained errors - aborting"));
    EXPECT_EQ("untouched\n", read_file(PROBO_PIDFILE));
    // Unavailable probes pass the test: no probe operation runs.
    write_conf("monitor { pf sensor } " + to(listener));
    EXPECT_EQ(0, run_command(PROBO, {"-t", "-f", conf}, &out));
}

TEST_F(Probo, UnavailableProbesStopTheMonitor)
{
    unlink(PROBO_PIDFILE);
    std::string out;
    // At stream start.
    for (const char *name : {"cpuiow", "flukso"}) {
        write_conf(std::string("monitor { ") + name + " load } " + to(listener));
        EXPECT_EQ(1, run_command(PROBO, {"-d", "-u", "-f", conf}, &out));
        EXPECT_NE(std::string::npos, out.find(std::string("fatal: ") + name + " module not available"))
            << out;
        EXPECT_NE(std::string::npos, out.find("started module load()"));
    }
    write_conf("monitor { cpu(256) } " + to(listener));
    EXPECT_EQ(1, run_command(PROBO, {"-d", "-u", "-f", conf}, &out));
    EXPECT_NE(std::string::npos, out.find("fatal: cpu(256) is invalid: too large")) << out;
}

TEST_F(Probo, PacketsOnTheWire)
{
    write_conf("monitor { load, mem, debug } every second " + to(listener));
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(d.wait_for("program id=")) << d.output();
    received_packet first = next(listener);
    received_packet second = next(listener);
    uint64_t now = static_cast<uint64_t>(time(nullptr));
    EXPECT_LE(second.header.timestamp, now);
    EXPECT_GE(second.header.timestamp + 2, now);
    EXPECT_EQ(first.header.timestamp + 1, second.header.timestamp);
    EXPECT_EQ((std::vector<int>{STREAM_DEBUG, STREAM_MEM, STREAM_LOAD}), second.types);
    EXPECT_EQ(15u + (2 + 80) + (2 + 40) + (2 + 6), second.bytes.size());
    EXPECT_TRUE(d.wait_for("debug: probo packet size=148"));
    EXPECT_TRUE(d.wait_for("sending packets to udp 127.0.0.1 " + std::to_string(listener.port()) + " (1s)"));
    d.signal(SIGTERM);
    EXPECT_EQ(1, d.wait_exit());
    EXPECT_NE(std::string::npos, d.output().find("received signal 15 - quitting"));
    // In debug mode the pid file is created but left empty.
    EXPECT_EQ("", read_file(PROBO_PIDFILE));
}

// /proc figures read independently of the stand-in.
static uint64_t meminfo_kib(const std::string &key)
{
    std::ifstream in("/proc/meminfo");
    std::string name;
    uint64_t value;
    std::string unit;
    while (in >> name >> value) {
        std::getline(in, unit);
        if (name == key + ":")
            return value;
    }
    return 0;
}

TEST_F(Probo, FiguresMatchThisHost)
{
    write_conf("monitor { load, mem } every second " + to(listener));
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    received_packet p = next(listener);
    ASSERT_EQ(2u, p.streams.size());
    double load[3];
    {
        std::ifstream in("/proc/loadavg");
        in >> load[0] >> load[1] >> load[2];
    }
    const unpacked_stream &l = p.streams[1];
    ASSERT_EQ(STREAM_LOAD, l.type);
    for (int i = 0; i < 3; i++) {
        uint16_t hundredths;
        memcpy(&hundredths, l.data + 2 * i, 2);
        EXPECT_NEAR(load[i], hundredths / 100.0, 0.15) << i;
    }
    const unpacked_stream &m = p.streams[0];
    ASSERT_EQ(STREAM_MEM, m.type);
    uint64_t v[5];
    memcpy(v, m.data, sizeof(v));
    const double tolerance = 64.0 * 1024 * 1024;
    EXPECT_NEAR(meminfo_kib("Active") * 1024.0, static_cast<double>(v[0]), tolerance);
    EXPECT_NEAR((meminfo_kib("MemTotal") - meminfo_kib("MemFree")) * 1024.0, static_cast<double>(v[1]), tolerance);
    EXPECT_NEAR(meminfo_kib("MemFree") * 1024.0, static_cast<double>(v[2]), tolerance);
    EXPECT_NEAR((meminfo_kib("SwapTotal") - meminfo_kib("SwapFree")) * 1024.0, static_cast<double>(v[3]), tolerance);
    EXPECT_NEAR(meminfo_kib("SwapTotal") * 1024.0, static_cast<double>(v[4]), tolerance);
}

TEST_F(Probo, TwoMuxesKeepTheirOwnRhythm)
{
    udp_socket every3("127.0.0.1");
    write_conf("monitor { load } every 2 seconds " + to(listener) + "monitor { mem } every 3 seconds " +
               to(every3));
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    std::vector<uint64_t> a, b;
    for (int i = 0; i < 3; i++)
        a.push_back(next(listener).header.timestamp);
    for (int i = 0; i < 2; i++)
        b.push_back(next(every3).header.timestamp);
    ASSERT_EQ(3u, a.size());
    EXPECT_EQ(a[0] + 2, a[1]);
    EXPECT_EQ(a[1] + 2, a[2]);
    EXPECT_EQ(b[0] + 3, b[1]);
    // Both due at the sixth second: one measurement, one timestamp.
    EXPECT_EQ(a[2], b[1]);
    EXPECT_EQ(a[0] + 1, b[0]);
}

TEST_F(Probo, ReloadWithUnprivilegedMode)
{
    write_conf("monitor { load } every 2 seconds " + to(listener));
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(d.wait_for("sending packets to udp"));

    write_conf("monitor { load ");
    d.signal(SIGHUP);
    EXPECT_TRUE(d.wait_for("hup received"));
    EXPECT_TRUE(d.wait_for("new configuration contains errors; keeping old configuration"));
    EXPECT_EQ((std::vector<int>{STREAM_LOAD}), next(listener).types);

    udp_socket moved("127.0.0.1");
    write_conf("monitor { mem } every second " + to(moved));
    d.signal(SIGHUP);
    EXPECT_TRUE(d.wait_for("read configuration file '" + conf + "' successfully"));
    // Whatever the old mux sent before the reload is in the buffer by now.
    while (!listener.receive(0).empty()) {
    }
    received_packet p1 = next(moved);
    received_packet p2 = next(moved);
    EXPECT_EQ((std::vector<int>{STREAM_MEM}), p2.types);
    // The timer runs with the new tick of one second.
    EXPECT_EQ(p1.header.timestamp + 1, p2.header.timestamp);
    // Over a second since the reload and nothing from the old mux: it is gone.
    EXPECT_TRUE(listener.receive(0).empty());
    d.signal(SIGINT);
    EXPECT_EQ(1, d.wait_exit());
    EXPECT_NE(std::string::npos, d.output().find("received signal 2 - quitting"));
}

// The default privilege drop, for real: a throwaway "_probo" user whose home
// is an empty directory that becomes the chroot.
TEST_F(Probo, DefaultPrivilegeDropIntoChroot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    if (getpwnam("_probo") != nullptr)
        GTEST_SKIP() << "a real _probo user exists; not touching it";
    std::string jail = dir.path() + "/jail";
    mkdir(jail.c_str(), 0755);
    std::string out;
    ASSERT_EQ(0, run_command("/usr/sbin/useradd", {"-r", "-M", "-d", jail, "-s", "/usr/sbin/nologin", "_probo"},
                             &out))
        << out;
    struct cleanup {
        ~cleanup()
        {
            std::string ignored;
            run_command("/usr/sbin/userdel", {"_probo"}, &ignored);
        }
    } remove_user;
    // The leak checker needs /proc, which the jail does not have.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    write_conf("monitor { load, mem } every second " + to(listener));
    daemon_process d(PROBO, {"-d", "-f", conf});
    received_packet p = next(listener);
    ASSERT_EQ(2u, p.streams.size()) << d.output();
    uint64_t v[5];
    memcpy(v, p.streams[0].data, sizeof(v));
    EXPECT_GT(v[1], 0u) << "memory figures read inside the chroot";
    std::ifstream status("/proc/" + std::to_string(d.pid()) + "/status");
    std::string line, uid;
    while (std::getline(status, line))
        if (line.rfind("Uid:", 0) == 0)
            uid = line;
    EXPECT_EQ(std::string::npos, uid.find("\t0\t")) << uid;
    char root[256] = {};
    ssize_t n = readlink(("/proc/" + std::to_string(d.pid()) + "/root").c_str(), root, sizeof(root) - 1);
    EXPECT_EQ(jail, std::string(root, n > 0 ? static_cast<size_t>(n) : 0));
    d.signal(SIGHUP);
    EXPECT_TRUE(d.wait_for("configuration unreachable because of privsep; keeping old configuration"));
    next(listener);
    d.signal(SIGTERM);
    EXPECT_EQ(1, d.wait_exit());
    unsetenv("ASAN_OPTIONS");
}

TEST_F(Probo, DroppingToAMissingUserIsFatal)
{
    if (getpwnam("_probo") != nullptr)
        GTEST_SKIP() << "a _probo user exists";
    write_conf("monitor { load } " + to(listener));
    std::string out;
    EXPECT_EQ(1, run_command(PROBO, {"-d", "-f", conf}, &out));
    EXPECT_NE(std::string::npos, out.find("fatal: could not get user information for user '_probo': "))
        << out;
}

} // namespace

namespace {

// A file caught half-written (empty, or comments only) or one past the
// lexer's limits fails the reload; start-up refuses what never ends.
TEST_F(Probo, BadReloadsKeepTheRunningConfiguration)
{
    write_conf("monitor { load } every second " + to(listener));
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(d.wait_for("sending packets to udp"));
    const std::string bad[] = {"", "# nothing yet\n", "monitor { load } every 70000 seconds " + to(listener),
                               "monitor { " + std::string(3000, 'x') + " } " + to(listener)};
    const char *message[] = {"warning: empty mux list", "warning: empty mux list",
                             "number too large", "parse error at 'xxx"};
    for (int i = 0; i < 4; i++) {
        write_conf(bad[i]);
        d.signal(SIGHUP);
        EXPECT_TRUE(d.wait_for_count("new configuration contains errors; keeping old configuration", i + 1))
            << d.output();
        EXPECT_NE(std::string::npos, d.output().find(message[i])) << i;
    }
    EXPECT_EQ((std::vector<int>{STREAM_LOAD}), next(listener).types);
    std::string out;
    EXPECT_EQ(1, run_command(PROBO, {"-t", "-f", "/dev/zero"}, &out));
    EXPECT_NE(std::string::npos, out.find("could not open file \"/dev/zero\":not a regular file"));
}

// Reloads every 100 ms: the timer keeps its rhythm and packets keep coming.
TEST_F(Probo, ReloadStormKeepsMeasuring)
{
    write_conf("monitor { load } every second " + to(listener));
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(d.wait_for("sending packets to udp"));
    int packets = 0;
    for (int i = 0; i < 35; i++) {
        d.signal(SIGHUP);
        if (!listener.receive(100).empty())
            packets++;
        d.drain();
    }
    EXPECT_GE(packets, 2) << d.output();
}

// Started with stdin closed and a stray descriptor: the stand-in's files
// stay clear of 0 to 2 and the stray one is closed before the measuring.
TEST_F(Probo, OddStartKeepsTheKernelFilesAndDropsStrayDescriptors)
{
    write_conf("monitor { mem } every second " + to(listener));
    // High, so that no descriptor probo opens later takes its number.
    int first = open(conf.c_str(), O_RDONLY | O_CLOEXEC);
    int stray = fcntl(first, F_DUPFD_CLOEXEC, 200);
    close(first);
    spawn_options odd;
    odd.close_stdin = true;
    odd.inherit_fd = stray;
    daemon_process d(PROBO, {"-d", "-u", "-f", conf}, odd);
    received_packet p = next(listener);
    close(stray);
    ASSERT_EQ(1u, p.streams.size()) << d.output();
    EXPECT_GT(value_of(p.streams[0], 1), 0u) << "memory used read through the stand-in";
    char link[512] = {};
    std::string fd_path = "/proc/" + std::to_string(d.pid()) + "/fd/" + std::to_string(stray);
    EXPECT_EQ(-1, readlink(fd_path.c_str(), link, sizeof(link) - 1)) << link;
}

} // namespace
