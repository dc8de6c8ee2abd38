// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-top end to end: in a real terminal under tmux, fed by the real
// colvo, and printing lines when its output is no terminal.
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "config.h"
#include "daemon.h"
#include "packet.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string COLVO = COLVO_BIN;
const std::string TOP = TOP_BIN;
const std::string TMUX = "/usr/bin/tmux";

std::vector<uint8_t> if_counters(unsigned long long ibytes, unsigned long long obytes)
{
    uint8_t buf[256] = {}; // the packer relies on a cleared buffer
    int n = pack_stream(buf, sizeof(buf), "em0", STREAM_IF, 0ull, 0ull, ibytes, obytes, 0ull, 0ull,
                        0ull, 0ull, 0ull, 0ull);
    return std::vector<uint8_t>(buf, buf + n);
}

void write_all(int fd, const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        ssize_t n = write(fd, text.data() + at, text.size() - at);
        ASSERT_GT(n, 0);
        at += static_cast<size_t>(n);
    }
}

// Lines that are cut, of unknown types, or garbage.
std::string bad_lines()
{
    std::string junk = "10.0.0.5;load::1006:9.99:1\n10.0.0.5;gpu:0:1:1;\n;;;\n\n"
                       "10.0.0.5;if:em0:1:2;load::x:1:1:1;\n" +
                       std::string(3 << 20, 'z') + "\n";
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; i++)
        junk += static_cast<char>(i % 97 == 0 ? '\n' : rng() % 256);
    return junk + "\n";
}

struct Tmux : ::testing::Test {
    temp_dir dir;
    std::string sock = dir.file("tmux.sock");

    ~Tmux() override { run_command(TMUX, {"-S", sock, "kill-server"}, nullptr); }

    std::string screen()
    {
        std::string text;
        run_command(TMUX, {"-S", sock, "capture-pane", "-p", "-t", "top"}, &text);
        return text;
    }

    // The pane holds no socket or file to wait on: look until it shows.
    bool wait_screen(const std::string &fragment, int timeout_ms = 5000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (screen().find(fragment) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            usleep(50000);
        }
        return true;
    }

    // The row of a host on the table.
    std::string row(const std::string &host)
    {
        std::string text = screen();
        size_t at = text.find("  " + host + " ");
        return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
    }

    void keys(const std::string &key) { run_command(TMUX, {"-S", sock, "send-keys", "-t", "top", key}, nullptr); }
};

TEST_F(Tmux, HostsRatesDetailAndQuit)
{
    if (access(TMUX.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no tmux (scripts/deps.sh installs it)";
    int port = free_udp_port();
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { load if(em0) } }\n"
                                                   "source 127.0.0.2 { accept { load } }\n");
    daemon_process colvo(COLVO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(colvo.wait_for("listening for incoming probo traffic")) << colvo.output();
    std::string status = dir.file("status");
    ASSERT_EQ(0, run_command(TMUX, {"-S", sock, "-f", "/dev/null", "new-session", "-d", "-s", "top",
                                    "-x", "120", "-y", "30",
                                    TOP + " -p " + COLVO_FIFO + "; echo $? > " + status},
                             nullptr));
    ASSERT_TRUE(wait_screen("FULLEST FS")) << screen();

    udp_socket one("127.0.0.1"), two("127.0.0.2");
    one.send_to("127.0.0.1", port, make_packet(1000, {load_record(0.15, 0.1, 0.05), if_counters(1000, 0)}));
    two.send_to("127.0.0.1", port, make_packet(1000, {load_record(2.5, 2, 1)}));
    one.send_to("127.0.0.1", port, make_packet(1005, {if_counters(6000, 2500)}));
    ASSERT_TRUE(colvo.wait_for_count("churnbuffer used:", 3)) << colvo.output();
    // 5000 and 2500 bytes in 5 seconds: 8000 and 4000 bits/s.
    EXPECT_TRUE(wait_screen("3 lines")) << screen();
    EXPECT_NE(std::string::npos, row("127.0.0.1").find(" 0.15 -                      -    8.00k    4.00k ")) << screen();
    EXPECT_NE(std::string::npos, row("127.0.0.2").find(" 2.50 -                      -        -        - ")) << screen();

    // Garbage written beside colvo's lines changes nothing shown.
    int fifo = open(COLVO_FIFO, O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    write_all(fifo, ";;\n\xff\n127.0.0.1;if:em0:1006:1\n");
    close(fifo);

    keys("j");
    keys("Enter");
    EXPECT_TRUE(wait_screen("127.0.0.2  last line")) << screen();
    EXPECT_TRUE(wait_screen("load1 2.50   load5 2   load15 1")) << screen();
    keys("Enter");
    keys("k");
    keys("Enter");
    EXPECT_TRUE(wait_screen("ibytes 1.00k/s   obytes 500/s")) << screen();
    EXPECT_TRUE(wait_screen("6 lines, 3 unreadable")) << screen();
    keys("q");
    std::string code;
    for (int i = 0; i < 100 && code.empty(); i++, usleep(50000))
        code = read_file(status);
    EXPECT_EQ("0\n", code);
}

TEST(TopPlain, LinePerHostAndBadInput)
{
    temp_dir dir;
    std::string path = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    daemon_process top(TOP, {"-p", path});
    // Holding a reader end too, the writes never fail for want of one.
    int fifo = open(path.c_str(), O_RDWR);
    ASSERT_GE(fifo, 0);
    write_all(fifo, "10.0.0.5;load::1000:0.15:0.10:0.05;if:em0:1000:0:0:1000:0:0:0:0:0:0:0;"
                    "df:ada0:1000:1000:100:50:10:5:0:0;\n"
                    "10.0.0.5;if:em0:1005:0:0:6000:2500:0:0:0:0:0:0;\n");
    write_all(fifo, bad_lines());
    write_all(fifo, "10.0.0.6;load::1:1.00:1.00:1.00;\n10.0.0.6;load::2:1.00:1.00:1.00;\n");
    EXPECT_TRUE(top.wait_for("load 0.15 cpu - mem - in 8.00k out 4.00k ops - fs 95% ada0\n")) << top.output();
    // Its interval is one second: silent once more than three have passed.
    EXPECT_TRUE(top.wait_for("10.0.0.6 age 0s load 1.00 cpu - mem - in - out - ops - fs -\n"));
    EXPECT_TRUE(top.wait_for("load 1.00 cpu - mem - in - out - ops - fs - silent\n", 6000))
        << top.output();
    close(fifo);
    top.signal(SIGTERM);
    EXPECT_EQ(0, top.wait_exit());
    std::string text;
    EXPECT_EQ(64, run_command(TOP, {"-x"}, &text));
    EXPECT_NE(std::string::npos, text.find("usage: colvo-top [-p fifo | -s socket]\n"));
}

TEST(TopPlain, ColvoLiveSocketWithColvoFigures)
{
    temp_dir dir;
    int port = free_udp_port();
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { load } }\n");
    daemon_process colvo(COLVO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(colvo.wait_for("listening for incoming probo traffic")) << colvo.output();
    daemon_process top(TOP, {"-s", COLVO_SOCKET});
    EXPECT_TRUE(top.wait_for("colvo: 0 received, 0 accepted, 0 dropped, 0 lines lost\n")) << top.output();
    ASSERT_TRUE(colvo.wait_for("live client connected, 1 now"));
    udp_socket sender("127.0.0.1");
    sender.send_to("127.0.0.1", port, make_packet(1000, {load_record(1.5, 1, 0.5)}));
    EXPECT_TRUE(top.wait_for("127.0.0.1 age ")) << top.output();
    EXPECT_NE(std::string::npos, top.output().find(" load 1.50 cpu - ")) << top.output();
    top.signal(SIGTERM);
    EXPECT_EQ(0, top.wait_exit());
}

// colvo-top on a pseudo-terminal of its own, as in a terminal window: the
// test holds the other side, which it reads so drawing never blocks.
struct on_pty {
    int master = -1;
    pid_t pid = -1;
    int pidfd = -1;

    explicit on_pty(const std::vector<std::string> &args)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        winsize size = {30, 120, 0, 0};
        ioctl(master, TIOCSWINSZ, &size);
        std::string slave = ptsname(master);
        pid = fork();
        if (pid == 0) {
            setsid(); // the terminal becomes its controlling terminal
            int fd = open(slave.c_str(), O_RDWR);
            for (int i = 0; i < 3; i++)
                dup2(fd, i);
            setenv("TERM", "xterm", 1);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            std::vector<char *> argv = {const_cast<char *>(TOP.c_str())};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(TOP.c_str(), argv.data());
            _exit(127);
        }
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    }
    ~on_pty()
    {
        if (pid > 0 && !ended(0)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0)
            close(master);
        close(pidfd);
    }
    // Reads the screen until it shows fragment.
    bool shows(const std::string &fragment)
    {
        std::string seen;
        char buf[4096];
        pollfd p = {master, POLLIN, 0};
        while (seen.find(fragment) == std::string::npos) {
            if (poll(&p, 1, 5000) != 1)
                return false;
            ssize_t n = read(master, buf, sizeof(buf));
            if (n <= 0)
                return false;
            seen.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    bool ended(int timeout_ms)
    {
        pollfd p = {pidfd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return false;
        waitpid(pid, nullptr, 0);
        pid = -1;
        return true;
    }
};

// The terminal goes away (its window closed): colvo-top ends with it, and
// does not spin on the hung-up terminal under init for ever.
TEST(TopTerminal, EndsWhenItsTerminalHangsUp)
{
    temp_dir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    on_pty top({"-p", fifo});
    ASSERT_GT(top.pid, 0);
    ASSERT_TRUE(top.shows("q quit"));
    close(top.master);
    top.master = -1;
    EXPECT_TRUE(top.ended(1000)) << "still running after its terminal hung up";
}

// Signals end colvo-top within a second even while its input never stops.
TEST(TopPlain, SignalsEndItWhileItsInputFloods)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        temp_dir dir;
        std::string path = dir.file("fifo");
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        daemon_process top(TOP, {"-p", path});
        int fifo = open(path.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fifo, 0);
        std::string lines;
        for (int i = 0; i < 1000; i++)
            lines += "10.0.0." + std::to_string(i % 200) + ";load::1000:0.15:0.10:0.05;\n";
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            pollfd room = {fifo, POLLOUT, 0};
            while (!stop)
                if (poll(&room, 1, 100) == 1 && write(fifo, lines.data(), lines.size()) < 0 && errno != EAGAIN)
                    break;
        });
        EXPECT_TRUE(top.wait_for("10.0.0.199 age")) << top.output().substr(0, 200);
        top.signal(sig);
        int status = top.wait_exit(1000);
        stop = true;
        close(fifo);
        writer.join();
        EXPECT_EQ(0, status) << "signal " << sig;
    }
}

} // namespace
