// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The daemons as an administrator runs them: one instance at a time, the
// system log from inside the chroot, failures on the terminal, relative
// paths and steps of databases, rrdcached, the installed files.
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN, COLVO = COLVO_BIN, MKRRD = MKRRD_BIN, RRDTOOL = "/usr/bin/rrdtool";

// The daemon named by a pid file, stopped however the test ends.
struct detached {
    std::string pidfile;
    ~detached()
    {
        if (pid_in(pidfile) > 0)
            stop_process(pid_in(pidfile));
    }
};

// A second instance, detached or not, fails at once naming the first and
// leaves its pid file as it is.
void expect_refused(const std::string &binary, std::vector<std::string> args, const std::string &pidfile,
                    const std::string &cwd = "")
{
    std::string holder = read_file(pidfile), out;
    for (int debug = 0; debug < 2; debug++, args.insert(args.begin(), "-d")) {
        EXPECT_EQ(1, run_command(binary, args, &out, cwd));
        EXPECT_EQ(1, count_of(out, "fatal: already running, pid " + std::to_string(pid_in(pidfile)) + ": " +
                                       pidfile + " is locked\n"))
            << out;
        EXPECT_EQ(holder, read_file(pidfile));
    }
}

// A detached colvo has its FIFO before its socket: load 1 2 3 is sent,
// stamped t + 1, t + 2, ..., until one comes out of the FIFO; true when the
// line of the last one sent (stamped *t) was read.
bool answered(fifo_reader &fifo, udp_socket &sender, int port, uint64_t *t)
{
    std::string line = "<timeout>";
    for (int i = 0; i < 50 && line == "<timeout>"; i++) {
        sender.send_to("127.0.0.1", port, make_packet(++*t, {load_record(1, 2, 3)}));
        line = fifo.next_line(100);
    }
    while (line != "<timeout>" && line != "127.0.0.1;load::" + std::to_string(*t) + ":1.00:2.00:3.00;")
        line = fifo.next_line(); // those of earlier tries, late
    return line != "<timeout>";
}

// What descriptors 0, 1 and 2 of a process are.
std::vector<std::string> std_fds_of(pid_t pid)
{
    std::vector<std::string> targets;
    for (int fd = 0; fd < 3; fd++) {
        char target[256] = {};
        std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        targets.push_back(readlink(link.c_str(), target, sizeof(target) - 1) > 0 ? target : "closed");
    }
    return targets;
}

const std::vector<std::string> ALL_DEV_NULL = {"/dev/null", "/dev/null", "/dev/null"};

spawn_options std_fds_closed()
{
    spawn_options closed;
    closed.close_stdin = closed.close_stdout = closed.close_stderr = true;
    return closed;
}

// Also: a relative write path names a file under the start directory after
// daemon(), and colvo-mkrrd tells what it made and warns of other steps.
TEST(ColvoOps, SecondInstanceTouchesNeitherPidFileNorFifo)
{
    temp_dir dir;
    int port = free_udp_port();
    dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                "\nsource 127.0.0.1 { accept { load } write load in load.rrd }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-f", "colvo.conf", "-s", "localhost=10"}, &out, dir.path()));
    EXPECT_EQ("created " + dir.file("load.rrd") +
                  ": step 10 s, heartbeat 40 s\n  data sources (GAUGE): load1 load5 load15\n",
              out);
    ASSERT_EQ(0, run_command(MKRRD, {"-f", "colvo.conf"}, &out, dir.path()));
    EXPECT_EQ(1, count_of(out, "load.rrd: step is 10 s, not the 5 s asked; left as it is\n")) << out;
    ASSERT_EQ(0, run_command(COLVO, {"-u", "-f", "colvo.conf"}, &out, dir.path())) << out;
    detached first = {COLVO_PIDFILE};
    fifo_reader fifo(COLVO_FIFO);
    udp_socket sender("127.0.0.1");
    uint64_t t = static_cast<uint64_t>(time(nullptr));
    ASSERT_TRUE(answered(fifo, sender, port, &t));
    struct stat before, after;
    ASSERT_EQ(0, stat(COLVO_FIFO, &before));
    expect_refused(COLVO, {"-u", "-f", "colvo.conf"}, COLVO_PIDFILE, dir.path());
    ASSERT_EQ(0, stat(COLVO_FIFO, &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    sender.send_to("127.0.0.1", port, make_packet(++t, {load_record(4, 5, 6)}));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t) + ":4.00:5.00:6.00;", fifo.next_line());
    EXPECT_EQ(0, run_command(RRDTOOL, {"lastupdate", dir.file("load.rrd")}, &out));
    EXPECT_EQ(1, count_of(out, std::to_string(t) + ": 4.00 5.00 6.00")) << out;
    EXPECT_TRUE(stop_process(pid_in(COLVO_PIDFILE)));
    EXPECT_NE(0, access(COLVO_PIDFILE, F_OK));
}

// For daemon(8) -r: colvo -F does not fork, yet writes its pid file and
// logs to the system log as a detached colvo does.
TEST(ColvoOps, StaysInTheForegroundForASupervisor)
{
    temp_dir dir;
    int port = free_udp_port();
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { load } }\n");
    unlink(COLVO_PIDFILE);
    daemon_process colvo(COLVO, {"-F", "-u", "-f", conf});
    udp_socket sender("127.0.0.1");
    std::string line = "<timeout>";
    // Tried until colvo answers, on the FIFO it has made by then.
    for (int i = 0; i < 50 && line == "<timeout>"; i++) {
        fifo_reader fifo(COLVO_FIFO);
        sender.send_to("127.0.0.1", port, make_packet(7, {load_record(1, 2, 3)}));
        line = fifo.next_line(100);
    }
    EXPECT_EQ("127.0.0.1;load::7:1.00:2.00:3.00;", line);
    EXPECT_EQ(colvo.pid(), pid_in(COLVO_PIDFILE));
    colvo.signal(SIGTERM);
    EXPECT_EQ(75, colvo.wait_exit());
    EXPECT_EQ(0, count_of(colvo.output(), "colvo version")) << "in the system log";
    EXPECT_NE(0, access(COLVO_PIDFILE, F_OK));
}

TEST(ProboOps, SecondInstanceIsRefused)
{
    temp_dir dir;
    udp_socket listener("127.0.0.1");
    std::string conf = dir.write("probo.conf", "monitor { load } every second stream to 127.0.0.1 port " +
                                                   std::to_string(listener.port()) + "\n");
    std::string out;
    ASSERT_EQ(0, run_command(PROBO, {"-u", "-f", conf}, &out)) << out;
    detached first = {PROBO_PIDFILE};
    ASSERT_FALSE(listener.receive().empty());
    expect_refused(PROBO, {"-u", "-f", conf}, PROBO_PIDFILE);
    while (!listener.receive(0).empty()) {
    }
    EXPECT_FALSE(listener.receive().empty()) << "the first one sends on";
    EXPECT_TRUE(stop_process(pid_in(PROBO_PIDFILE)));
    EXPECT_NE(0, access(PROBO_PIDFILE, F_OK));
}

// Started with 0, 1 and 2 closed, the FIFO would have been opened on one of
// them and daemon() would have put /dev/null over it.
TEST(ColvoOps, StartedWithStandardDescriptorsClosedStoresAsUsual)
{
    temp_dir dir;
    int port = free_udp_port();
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { load } datadir " + dir.path() +
                                                   " }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    ASSERT_EQ(0, run_command(COLVO, {"-u", "-f", conf}, &out, "", std_fds_closed()));
    detached daemon = {COLVO_PIDFILE};
    fifo_reader fifo(COLVO_FIFO);
    udp_socket sender("127.0.0.1");
    uint64_t t = static_cast<uint64_t>(time(nullptr));
    ASSERT_TRUE(answered(fifo, sender, port, &t));
    EXPECT_EQ(ALL_DEV_NULL, std_fds_of(pid_in(COLVO_PIDFILE)));
    EXPECT_EQ(0, run_command(RRDTOOL, {"lastupdate", dir.file("load.rrd")}, &out));
    EXPECT_EQ(1, count_of(out, std::to_string(t) + ": 1.00 2.00 3.00")) << out;
    EXPECT_TRUE(stop_process(pid_in(COLVO_PIDFILE)));
}

// In the foreground a closed 0 would have become the mux socket, which
// records take for "none"; detached, daemon() puts /dev/null there anyway.
TEST(ProboOps, StartedWithStandardDescriptorsClosedSendsAsUsual)
{
    temp_dir dir;
    udp_socket listener("127.0.0.1");
    std::string conf = dir.write("probo.conf", "monitor { load } every second stream to 127.0.0.1 port " +
                                                   std::to_string(listener.port()) + "\n");
    for (bool detach : {false, true}) {
        std::unique_ptr<daemon_process> foreground;
        detached daemon = {PROBO_PIDFILE};
        std::string out;
        if (detach)
            ASSERT_EQ(0, run_command(PROBO, {"-u", "-f", conf}, &out, "", std_fds_closed()));
        else
            foreground = std::make_unique<daemon_process>(PROBO, std::vector<std::string>{"-d", "-u", "-f", conf},
                                                          std_fds_closed());
        while (!listener.receive(0).empty()) {
        }
        received_packet p = parse(listener.receive());
        ASSERT_EQ(1u, p.streams.size()) << detach;
        EXPECT_EQ(STREAM_LOAD, p.streams[0].type);
        // Written once detached, before the first packet.
        pid_t pid = detach ? pid_in(PROBO_PIDFILE) : foreground->pid();
        EXPECT_EQ(ALL_DEV_NULL, std_fds_of(pid)) << detach;
        EXPECT_TRUE(stop_process(pid)) << detach;
    }
}

// When the starting command returns, the pid file names the daemon, which
// takes a datagram sent at once (colvo) or ends cleanly on a signal sent at
// once (probo): a script or rc.d's stop may act on it straight away.
TEST(ColvoOps, ReadyWhenTheStartingCommandReturns)
{
    temp_dir dir;
    int port = free_udp_port();
    std::string out, conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                        "\nsource 127.0.0.1 { accept { load } }\n");
    udp_socket sender("127.0.0.1");
    for (uint64_t t = 1000; t < 1010; t++) {
        ASSERT_EQ(0, run_command(COLVO, {"-u", "-f", conf}, &out)) << out;
        detached daemon = {COLVO_PIDFILE};
        pid_t pid = pid_in(COLVO_PIDFILE);
        EXPECT_GT(pid, 0) << t;
        sender.send_to("127.0.0.1", port, make_packet(t, {load_record(1, 2, 3)}));
        fifo_reader fifo(COLVO_FIFO);
        EXPECT_EQ("127.0.0.1;load::" + std::to_string(t) + ":1.00:2.00:3.00;", fifo.next_line(2000));
        if (pid <= 0)
            return;
        EXPECT_TRUE(stop_process(pid));
        EXPECT_NE(0, access(COLVO_PIDFILE, F_OK));
    }
}

TEST(ProboOps, ReadyWhenTheStartingCommandReturns)
{
    temp_dir dir;
    udp_socket listener("127.0.0.1");
    std::string out, conf = dir.write("probo.conf", "monitor { load } every second stream to 127.0.0.1 port " +
                                                        std::to_string(listener.port()) + "\n");
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(0, run_command(PROBO, {"-u", "-f", conf}, &out)) << out;
        detached daemon = {PROBO_PIDFILE};
        pid_t pid = pid_in(PROBO_PIDFILE);
        ASSERT_GT(pid, 0) << i;
        // Its handlers are in place: it ends by its own path, removing the file.
        EXPECT_TRUE(stop_process(pid));
        EXPECT_NE(0, access(PROBO_PIDFILE, F_OK)) << i;
    }
}

// Default mode for real, in a mount namespace of its own: a private
// /etc/passwd describing "_probo", and a private /dev whose log socket is
// the test's. Nothing outside the namespace changes.
struct ProboDefaultMode : ::testing::Test {
    temp_dir dir;
    int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a mount namespace";
        mkdir(dir.file("jail").c_str(), 0755);
        dir.write("dev/null", "");
        sockaddr_un address = {AF_UNIX, {}};
        snprintf(address.sun_path, sizeof(address.sun_path), "%s", dir.file("dev/log").c_str());
        ASSERT_EQ(0, bind(log, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1); // the leak checker needs /proc
    }
    ~ProboDefaultMode() override
    {
        unsetenv("ASAN_OPTIONS");
        close(log);
    }
    int run(const std::string &user, const std::string &conf, std::string *out)
    {
        std::istringstream system(read_file("/etc/passwd"));
        std::string passwd, line, d = dir.path();
        while (std::getline(system, line))
            passwd += line.rfind("_probo:", 0) == 0 ? "" : line + "\n";
        dir.write("passwd", passwd + user);
        return run_command("/usr/bin/unshare",
                           {"-m", "/bin/sh", "-c",
                            "mount --bind " + d + "/passwd /etc/passwd && mount --bind /dev/null " + d +
                                "/dev/null && mount --rbind " + d + "/dev /dev && exec " + PROBO + " -f " + conf},
                           out);
    }
    // Reads the log until a message holds the fragment; false after 5 s of silence.
    bool logged(const std::string &fragment)
    {
        char text[1024];
        for (pollfd p = {log, POLLIN, 0}; poll(&p, 1, 5000) == 1;) {
            ssize_t n = recv(log, text, sizeof(text), 0);
            if (n > 0 && count_of(std::string(text, static_cast<size_t>(n)), fragment) > 0)
                return true;
        }
        return false;
    }
};

TEST_F(ProboDefaultMode, LogsFromTheChrootAndSendsFromALocalName)
{
    udp_socket listener("127.0.0.1");
    std::string out, conf = dir.write("probo.conf", "monitor { load } every second stream from localhost to "
                                                    "127.0.0.1 " + std::to_string(listener.port()));
    ASSERT_EQ(0, run("_probo:x:64999:64999::" + dir.file("jail") + ":/bin/false\n", conf, &out)) << out;
    detached probo = {PROBO_PIDFILE};
    // After the chroot and the change of user; default identity, user.info.
    EXPECT_TRUE(logged("<14>"));
    EXPECT_TRUE(logged("probo: sending packets to udp 127.0.0.1 " + std::to_string(listener.port())));
    EXPECT_FALSE(listener.receive().empty());
    EXPECT_TRUE(stop_process(pid_in(PROBO_PIDFILE)));
    EXPECT_TRUE(logged("probo: received signal 15 - quitting"));
    EXPECT_EQ("", read_file(PROBO_PIDFILE)) << "out of reach from the chroot: emptied";
}

TEST_F(ProboDefaultMode, UserFailuresReachTheTerminal)
{
    const char *rows[][2] = {
        {"", "fatal: could not get user information for user '_probo': "},
        {"_probo:x:64999:64999::/nonexistent:/bin/false\n", "fatal: chroot failed: No such file or directory\n"}};
    std::string out, conf = dir.write("probo.conf", "monitor { load } stream to 127.0.0.1\n");
    for (const auto &row : rows) {
        EXPECT_EQ(1, run(row[0], conf, &out));
        EXPECT_EQ(1, count_of(out, row[1])) << out;
    }
}

TEST(ColvoOps, UpdatesArriveThroughRrdcached)
{
    temp_dir dir;
    std::string sock = "unix:" + dir.file("rrdcached.sock"), db = dir.file("load.rrd"), out;
    int port = free_udp_port();
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { load } write load in " + db + " }");
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    // Writes held for an hour: the file shows nothing until flushed.
    ASSERT_EQ(0, run_command("/usr/bin/rrdcached", {"-l", sock, "-b", dir.path(), "-B", "-p",
                                                    dir.file("cache.pid"), "-w", "3600", "-f", "7200"},
                             &out))
        << out;
    detached cache = {dir.file("cache.pid")};
    setenv("RRDCACHED_ADDRESS", sock.c_str(), 1);
    daemon_process colvo(COLVO, {"-d", "-u", "-f", conf});
    unsetenv("RRDCACHED_ADDRESS");
    ASSERT_TRUE(colvo.wait_for("listening for incoming probo traffic")) << colvo.output();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket sender("127.0.0.1");
    std::string t = std::to_string(time(nullptr));
    sender.send_to("127.0.0.1", port, make_packet(std::stoull(t), {load_record(0.5, 1.25, 2)}));
    EXPECT_EQ("127.0.0.1;load::" + t + ":0.50:1.25:2.00;", fifo.next_line());
    std::string stored = t + ": 0.50 1.25 2.00";
    EXPECT_EQ(0, run_command(RRDTOOL, {"lastupdate", db}, &out));
    EXPECT_EQ(0, count_of(out, stored)) << "written past the cache: " << out;
    EXPECT_EQ(0, run_command(RRDTOOL, {"lastupdate", "--daemon", sock, db}, &out)); // flushes it
    EXPECT_EQ(0, run_command(RRDTOOL, {"lastupdate", db}, &out));
    EXPECT_EQ(1, count_of(out, stored)) << out;
}

TEST(Install, EveryFileWhereThePagesAndScriptsSayItIs)
{
    temp_dir dest;
    setenv("DESTDIR", dest.path().c_str(), 1);
    std::string out;
    int status = run_command(CMAKE_BIN, {"--install", BUILD_DIR}, &out);
    unsetenv("DESTDIR");
    ASSERT_EQ(0, status) << out;
    const std::string root = dest.path(), share = INSTALL_DATADIR, etc = INSTALL_SYSCONFDIR,
                      man = root + INSTALL_MANDIR, sbin = INSTALL_SBINDIR;
    for (const std::string d : {"probo", "colvo"}) {
        // Each page names the sample and the service scripts; each script, the program.
        for (const std::string &file : {etc + "/" + d + ".conf.sample", share + "/rc.d/" + d,
                                        share + "/systemd/" + d + ".service"}) {
            EXPECT_EQ(1, count_of(read_file(man + "/man8/" + d + ".8"), file + "\n")) << file;
            EXPECT_EQ(0, access((root + file).c_str(), R_OK)) << file;
        }
        EXPECT_EQ(1, count_of(read_file(man + "/man5/" + d + ".conf.5"), etc + "/" + d + ".conf.sample\n"));
        EXPECT_LT(0, count_of(read_file(root + share + "/rc.d/" + d), sbin + "/" + d + "\""));
        EXPECT_LT(0, count_of(read_file(root + share + "/systemd/" + d + ".service"), "=" + sbin + "/" + d + " "));
        EXPECT_EQ(0, access((root + share + "/rc.d/" + d).c_str(), X_OK));
        EXPECT_EQ(0, access((root + sbin + "/" + d).c_str(), X_OK));
        EXPECT_NE(0, access((root + etc + "/" + d + ".conf").c_str(), F_OK)) << "samples only";
    }
    EXPECT_EQ(0, access((root + sbin + "/colvo-mkrrd").c_str(), X_OK));
    EXPECT_EQ(0, access((man + "/man8/colvo-mkrrd.8").c_str(), R_OK));
}

} // namespace
