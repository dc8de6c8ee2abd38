// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The real monitor on this host: a proc stream over busy processes the test
// starts counts exactly them, and their ticks rise while they spin.
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const int SPINNERS = 3;

// Busy children under a command name of their own, gone with the test.
struct spinners {
    char name[16];
    pid_t pids[SPINNERS] = {};

    spinners()
    {
        snprintf(name, sizeof(name), "pspin%07d", static_cast<int>(getpid()));
        int ready[2];
        if (pipe(ready) != 0)
            return;
        for (pid_t &pid : pids) {
            pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                prctl(PR_SET_NAME, name);
                if (write(ready[1], "x", 1) != 1)
                    _exit(1);
                for (volatile unsigned long spin = 0;; spin = spin + 1) {
                }
            }
        }
        close(ready[1]);
        char c;
        for (int i = 0; i < SPINNERS; i++)
            EXPECT_EQ(1, read(ready[0], &c, 1));
        close(ready[0]);
    }
    ~spinners()
    {
        for (pid_t pid : pids) {
            if (pid <= 0)
                continue;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

uint64_t ticks_of(const unpacked_stream &s)
{
    return value_of(s, 1) + value_of(s, 2) + value_of(s, 3);
}

struct HostProc : ::testing::Test {
    temp_dir dir;
    udp_socket listener{"127.0.0.1"};
    spinners busy;
    std::string conf = dir.write("probo.conf", std::string("monitor { proc(") + busy.name +
                                                   ") } every second stream to 127.0.0.1 port " +
                                                   std::to_string(listener.port()) + "\n");

    // Two proc records a second apart: the spinners, their ticks rising.
    unpacked_stream two_ticks()
    {
        unpacked_stream s[2] = {};
        for (unpacked_stream &record : s) {
            received_packet p = parse(listener.receive(4000));
            EXPECT_EQ(std::vector<int>{STREAM_PROC}, p.types);
            if (p.streams.empty())
                return record;
            record = p.streams[0];
            EXPECT_STREQ(busy.name, record.argument);
            EXPECT_EQ(static_cast<uint64_t>(SPINNERS), value_of(record, 0));
        }
        EXPECT_LT(ticks_of(s[0]), ticks_of(s[1]));
        return s[1];
    }
    // Ends the monitor; it has started the stream without trouble.
    void stop(daemon_process &d)
    {
        d.signal(SIGTERM);
        EXPECT_EQ(1, d.wait_exit());
        EXPECT_NE(std::string::npos, d.output().find("started module proc(pspin")) << d.output();
        for (const char *trouble : {"kvm", "proc probe cannot", "proc size"})
            EXPECT_EQ(std::string::npos, d.output().find(trouble)) << d.output();
    }
};

TEST_F(HostProc, CountsTheTestsProcessesAndTheirRisingTicks)
{
    daemon_process d(PROBO_BIN, {"-d", "-u", "-f", conf});
    unpacked_stream last = two_ticks();
    EXPECT_EQ(ticks_of(last) / static_cast<uint64_t>(sysconf(_SC_CLK_TCK)), value_of(last, 4));
    EXPECT_GT(value_of(last, 5), 0u) << "busy since the previous snapshot";
    EXPECT_GT(value_of(last, 6), 0u);
    EXPECT_GT(value_of(last, 7), 0u);
    stop(d);
}

// The default privilege drop into an empty chroot: the /proc directory kept
// open from before the drop still lists and reads the processes.
TEST_F(HostProc, ChrootedMonitorStillSeesThem)
{
    if (geteuid() != 0 || getpwnam("_probo") != nullptr)
        GTEST_SKIP() << "needs root, and no _probo user yet";
    std::string jail = dir.path() + "/jail", out;
    mkdir(jail.c_str(), 0755);
    ASSERT_EQ(0, run_command("/usr/sbin/useradd",
                             {"-r", "-M", "-d", jail, "-s", "/usr/sbin/nologin", "_probo"}, &out))
        << out;
    struct cleanup {
        ~cleanup() { run_command("/usr/sbin/userdel", {"_probo"}, nullptr); }
    } remove_user;
    // The leak checker needs /proc, which the jail does not have.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    daemon_process d(PROBO_BIN, {"-d", "-f", conf});
    two_ticks();
    stop(d);
    unsetenv("ASAN_OPTIONS");
}

} // namespace
