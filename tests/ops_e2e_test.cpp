// The daemons as an administrator runs them: installed files, one instance
// at a time, the system log from inside the chroot, failures on the
// terminal, relative paths, database steps, and updates through rrdcached.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN, COLVO = COLVO_BIN, MKRRD = MKRRD_BIN;

bool contains(const std::string &text, const std::string &fragment)
{
    return text.find(fragment) != std::string::npos;
}

pid_t pid_in(const std::string &path)
{
    pid_t pid = 0;
    std::ifstream(path) >> pid;
    return pid;
}

// Signals a detached daemon (not our child) and waits for its end.
bool stop(pid_t pid)
{
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 || kill(pid, SIGTERM) != 0)
        return false;
    pollfd p = {fd, POLLIN, 0};
    bool gone = poll(&p, 1, 5000) == 1;
    close(fd);
    return gone;
}

// A detached daemon named by its pid file, stopped however the test ends.
struct detached {
    std::string pidfile;
    pid_t pid() const { return pid_in(pidfile); }
    ~detached()
    {
        if (pid() > 0)
            stop(pid());
    }
};

// A second instance, detached or not, fails at once naming the first.
void expect_refused(const std::string &binary, std::vector<std::string> args,
                    const std::string &pidfile, pid_t first, const std::string &cwd = "")
{
    std::string holder = std::to_string(first) + "\n";
    for (int debug = 0; debug < 2; debug++) {
        if (debug)
            args.insert(args.begin(), "-d");
        std::string out;
        EXPECT_EQ(1, run_command(binary, args, &out, cwd));
        EXPECT_TRUE(contains(out, "fatal: already running, pid " + std::to_string(first) + ": " +
                                      pidfile + " is locked\n"))
            << out;
        EXPECT_EQ(holder, read_file(pidfile));
    }
}

TEST(ColvoOps, SecondInstanceTouchesNeitherPidFileNorFifo)
{
    temp_dir dir;
    int port = free_udp_port();
    // A relative write path names a file under the start directory, also
    // once colvo has moved to "/".
    dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                "\nsource 127.0.0.1 { accept { load } write load in load.rrd }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-f", "colvo.conf", "-s", "1"}, &out, dir.path())) << out;
    EXPECT_EQ(0, run_command(COLVO, {"-f", "colvo.conf"}, &out, dir.path())) << out;
    detached first = {COLVO_PIDFILE};
    fifo_reader fifo(COLVO_FIFO);
    udp_socket sender("127.0.0.1");
    // The FIFO is there before the socket: sent until colvo answers.
    uint64_t t = static_cast<uint64_t>(time(nullptr));
    std::string line = "<timeout>";
    for (int i = 0; i < 50 && line == "<timeout>"; i++) {
        sender.send_to("127.0.0.1", port, make_packet(++t, {load_record(1, 2, 3)}));
        line = fifo.next_line(100);
    }
    ASSERT_EQ("127.0.0.1;load::" + std::to_string(t) + ":1.00:2.00:3.00;", line);
    struct stat before, after;
    ASSERT_EQ(0, stat(COLVO_FIFO, &before));

    expect_refused(COLVO, {"-f", "colvo.conf"}, COLVO_PIDFILE, first.pid(), dir.path());
    ASSERT_EQ(0, stat(COLVO_FIFO, &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    sender.send_to("127.0.0.1", port, make_packet(t + 1, {load_record(4, 5, 6)}));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t + 1) + ":4.00:5.00:6.00;", fifo.next_line());
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", dir.file("load.rrd")}, &out));
    EXPECT_TRUE(contains(out, std::to_string(t + 1) + ": 4.00 5.00 6.00")) << out;

    ASSERT_TRUE(stop(first.pid()));
    EXPECT_NE(0, access(COLVO_PIDFILE, F_OK));
}

TEST(ProboOps, SecondInstanceIsRefused)
{
    temp_dir dir;
    udp_socket listener("127.0.0.1");
    std::string conf = dir.write("probo.conf", "monitor { load } every second stream to 127.0.0.1 port " +
                                                   std::to_string(listener.port()) + "\n");
    std::string out;
    EXPECT_EQ(0, run_command(PROBO, {"-u", "-f", conf}, &out)) << out;
    detached first = {PROBO_PIDFILE};
    ASSERT_FALSE(listener.receive().empty());
    expect_refused(PROBO, {"-u", "-f", conf}, PROBO_PIDFILE, first.pid());
    while (!listener.receive(0).empty()) {
    }
    EXPECT_FALSE(listener.receive().empty()) << "the first one still sends";
    ASSERT_TRUE(stop(first.pid()));
    EXPECT_NE(0, access(PROBO_PIDFILE, F_OK));
}

// Default mode for real, in a mount namespace of its own: a private
// /etc/passwd in which the test describes "_probo", and a private /dev
// whose log socket is ours. Nothing outside the namespace changes.
struct ProboDefaultMode : ::testing::Test {
    temp_dir dir;
    int log = -1;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a mount namespace";
        mkdir(dir.file("jail").c_str(), 0755);
        dir.write("dev/null", "");
        log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof(address.sun_path), "%s", dir.file("dev/log").c_str());
        ASSERT_EQ(0, bind(log, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
        // The leak checker needs /proc, which the jail does not have.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    }
    void TearDown() override
    {
        unsetenv("ASAN_OPTIONS");
        if (log >= 0)
            close(log);
    }

    // Runs probo with its options, "_probo" described by passwd_line.
    int run(const std::string &passwd_line, const std::string &options, std::string *out)
    {
        std::istringstream system(read_file("/etc/passwd"));
        std::string passwd, line;
        while (std::getline(system, line))
            if (line.rfind("_probo:", 0) != 0)
                passwd += line + "\n";
        dir.write("passwd", passwd + passwd_line);
        const std::string d = dir.path();
        return run_command("/usr/bin/unshare",
                           {"-m", "/bin/sh", "-c",
                            "mount --bind " + d + "/passwd /etc/passwd && mount --bind /dev/null " + d +
                                "/dev/null && mount --rbind " + d + "/dev /dev && exec " + PROBO + " " +
                                options},
                           out);
    }

    // The next message on the log socket, "" after 5 s.
    std::string next_log()
    {
        pollfd p = {log, POLLIN, 0};
        char text[1024];
        if (poll(&p, 1, 5000) != 1)
            return "";
        ssize_t n = recv(log, text, sizeof(text), 0);
        return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
    }
    bool logged(const std::string &fragment)
    {
        for (std::string line = next_log(); !line.empty(); line = next_log())
            if (contains(line, fragment))
                return true;
        return false;
    }
};

TEST_F(ProboDefaultMode, LogsFromTheChrootAndSendsFromALocalName)
{
    udp_socket listener("127.0.0.1");
    std::string conf = dir.write("probo.conf", "monitor { load } every second stream from localhost to 127.0.0.1 " +
                                                   std::to_string(listener.port()) + "\n");
    std::string out;
    ASSERT_EQ(0, run("_probo:x:64999:64999::" + dir.file("jail") + ":/bin/false\n", "-f " + conf, &out))
        << out;
    detached probo = {PROBO_PIDFILE};
    // Said after the chroot and the change of user, with the default
    // identity and facility (user.info).
    EXPECT_TRUE(logged("<14>")) << "no log";
    EXPECT_TRUE(logged("probo: sending packets to udp 127.0.0.1 " + std::to_string(listener.port())));
    EXPECT_FALSE(listener.receive().empty());
    pid_t pid = probo.pid();
    ASSERT_GT(pid, 0);
    char root[512] = {};
    EXPECT_LT(0, readlink(("/proc/" + std::to_string(pid) + "/root").c_str(), root, sizeof(root) - 1));
    EXPECT_EQ(dir.file("jail"), root);
    ASSERT_TRUE(stop(pid));
    EXPECT_TRUE(logged("probo: received signal 15 - quitting"));
    // Out of reach from the chroot: emptied, not removed.
    EXPECT_EQ("", read_file(PROBO_PIDFILE));
}

TEST_F(ProboDefaultMode, UserFailuresReachTheTerminal)
{
    const struct {
        const char *passwd_line;
        const char *message;
    } rows[] = {
        {"", "fatal: could not get user information for user '_probo': "},
        {"_probo:x:64999:64999::/nonexistent:/bin/false\n", "fatal: chroot failed: No such file or directory\n"},
    };
    std::string conf = dir.write("probo.conf", "monitor { load } stream to 127.0.0.1\n");
    for (const auto &row : rows) {
        std::string out;
        EXPECT_EQ(1, run(row.passwd_line, "-f " + conf, &out));
        EXPECT_TRUE(contains(out, row.message)) << out;
    }
}

TEST(Mkrrd, StepsPerSourceAndWarningsForOthers)
{
    temp_dir dir;
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1\nsource 127.0.0.1 { accept { load if(em0) } datadir " +
                                                   dir.path() + " }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-s", "7", "-s", "localhost=10", "-f", conf}, &out)) << out;
    EXPECT_TRUE(contains(out, "created " + dir.file("load.rrd") + ": step 10 s, heartbeat 40 s\n"
                              "  data sources (GAUGE): load1 load5 load15\n"))
        << out;
    EXPECT_TRUE(contains(out, "  data sources (DERIVE): ipackets opackets ibytes obytes imcasts "
                              "omcasts ierrors oerrors collisions iqdrops\n"));
    EXPECT_EQ(0, run_command(MKRRD, {"-s", "60", "-f", conf}, &out));
    EXPECT_EQ(2, count_of(out, "step is 10 s, not the 60 s asked; left as it is")) << out;
    for (const char *bad : {"0", "x", "nowhere.invalid=5", "127.0.0.1="})
        EXPECT_EQ(64, run_command(MKRRD, {"-s", bad, "-f", conf}, &out)) << bad;
}

TEST(ColvoOps, UpdatesArriveThroughRrdcached)
{
    const std::string cached = "/usr/bin/rrdcached";
    if (access(cached.c_str(), X_OK) != 0)
        GTEST_SKIP() << "rrdcached is not installed";
    temp_dir dir;
    std::string sock = "unix:" + dir.file("rrdcached.sock"), db = dir.file("load.rrd");
    int port = free_udp_port();
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { load } write load in " + db +
                                                   " }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    // Writes held for an hour: the file shows nothing until flushed.
    ASSERT_EQ(0, run_command(cached, {"-l", sock, "-b", dir.path(), "-B", "-p", dir.file("rrdcached.pid"),
                                      "-w", "3600", "-f", "7200"},
                             &out))
        << out;
    detached cache = {dir.file("rrdcached.pid")};
    setenv("RRDCACHED_ADDRESS", sock.c_str(), 1);
    daemon_process colvo(COLVO, {"-d", "-f", conf});
    unsetenv("RRDCACHED_ADDRESS");
    ASSERT_TRUE(colvo.wait_for("listening for incoming probo traffic")) << colvo.output();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket sender("127.0.0.1");
    uint64_t t = static_cast<uint64_t>(time(nullptr));
    sender.send_to("127.0.0.1", port, make_packet(t, {load_record(0.5, 1.25, 2)}));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t) + ":0.50:1.25:2.00;", fifo.next_line());
    EXPECT_TRUE(colvo.wait_for("churnbuffer used:"));
    EXPECT_FALSE(contains(colvo.output(), "rrd_update:")) << colvo.output();

    std::string stored = std::to_string(t) + ": 0.50 1.25 2.00";
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", db}, &out));
    EXPECT_FALSE(contains(out, stored)) << "written past the cache: " << out;
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", "--daemon", sock, db}, &out));
    EXPECT_TRUE(contains(out, stored)) << out;
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", db}, &out));
    EXPECT_TRUE(contains(out, stored)) << "flushed to the file: " << out;
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
                      man = INSTALL_MANDIR, sbin = INSTALL_SBINDIR;
    const struct {
        std::string text; // an installed page or script
        std::string file; // the installed file it names
    } rows[] = {
        {man + "/man8/probo.8", etc + "/probo.conf.sample"},
        {man + "/man8/probo.8", share + "/rc.d/probo"},
        {man + "/man8/probo.8", share + "/systemd/probo.service"},
        {man + "/man5/probo.conf.5", etc + "/probo.conf.sample"},
        {man + "/man8/colvo.8", etc + "/colvo.conf.sample"},
        {man + "/man8/colvo.8", share + "/rc.d/colvo"},
        {man + "/man8/colvo.8", share + "/systemd/colvo.service"},
        {man + "/man5/colvo.conf.5", etc + "/colvo.conf.sample"},
        {share + "/rc.d/probo", sbin + "/probo"},
        {share + "/systemd/probo.service", sbin + "/probo"},
        {share + "/rc.d/colvo", sbin + "/colvo"},
        {share + "/systemd/colvo.service", sbin + "/colvo"},
    };
    for (const auto &row : rows) {
        EXPECT_TRUE(contains(read_file(root + row.text), row.file)) << row.text << " does not name " << row.file;
        EXPECT_EQ(0, access((root + row.file).c_str(), F_OK)) << row.file;
    }
    for (const std::string &program : {sbin + "/probo", sbin + "/colvo", sbin + "/colvo-mkrrd",
                                       share + "/rc.d/probo", share + "/rc.d/colvo"})
        EXPECT_EQ(0, access((root + program).c_str(), X_OK)) << program;
    EXPECT_EQ(0, access((root + man + "/man8/colvo-mkrrd.8").c_str(), F_OK));
    // Samples only: a real configuration is never overwritten.
    EXPECT_NE(0, access((root + etc + "/probo.conf").c_str(), F_OK));
    EXPECT_NE(0, access((root + etc + "/colvo.conf").c_str(), F_OK));
}

} // namespace
