// The real monitor on this host: a proc stream over busy processes the test
// starts, checked against their /proc figures read independently.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN;
const int SPINNERS = 3;

// Busy children under a command name of their own, gone with the test.
struct spinners {
    std::string name;
    std::vector<pid_t> pids;

    spinners()
    {
        char text[16];
        snprintf(text, sizeof(text), "pspin%07d", static_cast<int>(getpid()));
        name = text;
        int ready[2];
        if (pipe(ready) != 0)
            return;
        for (int i = 0; i < SPINNERS; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                prctl(PR_SET_NAME, text);
                if (write(ready[1], "x", 1) != 1)
                    _exit(1);
                for (volatile unsigned long spin = 0;; spin = spin + 1) {
                }
            }
            pids.push_back(pid);
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
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Their user and system ticks now.
    uint64_t ticks() const
    {
        uint64_t sum = 0;
        for (pid_t pid : pids) {
            std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            std::getline(in, line);
            std::istringstream fields(line.substr(line.rfind(')') + 2));
            std::string skip;
            for (int i = 3; i < 14; i++)
                fields >> skip;
            uint64_t user = 0, system = 0;
            fields >> user >> system;
            sum += user + system;
        }
        return sum;
    }
};

struct HostProc : ::testing::Test {
    temp_dir dir;
    udp_socket listener{"127.0.0.1"};
    spinners busy;
    std::string conf = dir.write("probo.conf", "monitor { proc(" + busy.name +
                                                   ") } every second stream to 127.0.0.1 port " +
                                                   std::to_string(listener.port()) + "\n");

    // The proc record of the next packet: the spinners and nothing else.
    unpacked_stream next()
    {
        auto bytes = listener.receive(4000);
        EXPECT_FALSE(bytes.empty()) << "no packet in time";
        received_packet p = parse(bytes);
        EXPECT_EQ(std::vector<int>{STREAM_PROC}, p.types);
        if (p.streams.empty())
            return unpacked_stream{};
        EXPECT_EQ(busy.name, p.streams[0].argument);
        EXPECT_EQ(static_cast<uint64_t>(SPINNERS), value_of(p.streams[0], 0));
        return p.streams[0];
    }
};

// Ends the monitor; it has started the stream without trouble.
void stop(daemon_process &d)
{
    d.signal(SIGTERM);
    EXPECT_EQ(1, d.wait_exit());
    EXPECT_NE(std::string::npos, d.output().find("started module proc(pspin")) << d.output();
    for (const char *trouble : {"kvm", "proc probe cannot", "proc size"})
        EXPECT_EQ(std::string::npos, d.output().find(trouble)) << d.output();
}

uint64_t ticks_of(const unpacked_stream &s)
{
    return value_of(s, 1) + value_of(s, 2) + value_of(s, 3);
}

TEST_F(HostProc, CountsTheTestsProcessesAndTheirRisingTicks)
{
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    unpacked_stream first = next();
    unpacked_stream second = next();
    uint64_t now = busy.ticks();
    EXPECT_LT(ticks_of(first), ticks_of(second));
    EXPECT_LE(ticks_of(second), now);
    EXPECT_EQ(ticks_of(second) / static_cast<uint64_t>(sysconf(_SC_CLK_TCK)), value_of(second, 4));
    EXPECT_GT(value_of(second, 5), 0u) << "busy since the previous snapshot";
    EXPECT_GT(value_of(second, 6), 0u);
    EXPECT_GT(value_of(second, 7), 0u);
    stop(d);
}

// The default privilege drop into an empty chroot: the /proc directory kept
// open from before the drop still lists and reads the processes.
TEST_F(HostProc, ChrootedMonitorStillSeesThem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    if (getpwnam("_probo") != nullptr)
        GTEST_SKIP() << "a _probo user exists; not touching it";
    std::string jail = dir.path() + "/jail";
    mkdir(jail.c_str(), 0755);
    std::string out;
    ASSERT_EQ(0, run_command("/usr/sbin/useradd",
                             {"-r", "-M", "-d", jail, "-s", "/usr/sbin/nologin", "_probo"}, &out))
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
    daemon_process d(PROBO, {"-d", "-f", conf});
    unpacked_stream first = next();
    unpacked_stream second = next();
    EXPECT_LT(ticks_of(first), ticks_of(second));
    stop(d);
    unsetenv("ASAN_OPTIONS");
}

} // namespace
