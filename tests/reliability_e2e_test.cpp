// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The real daemons where a hostile network, a careless operator and a
// failing disk hurt: rrdcached going away under colvo, another user's
// socket on colvo's port, reloads that cannot bind or find a database,
// database failures named per file, probo's send failures, colvo-mkrrd on a
// full file system.
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "socket_address.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN, COLVO = COLVO_BIN, MKRRD = MKRRD_BIN;

// An rrdcached of the test's own on a private socket, its writes held for
// an hour; stopped however the test ends.
struct cache_daemon {
    std::string base, socket = "unix:" + base + "/cache.sock", pidfile = base + "/cache.pid";
    ~cache_daemon() { stop(SIGTERM); }
    bool start()
    {
        // What a killed one leaves behind stops the next.
        unlink(pidfile.c_str());
        unlink(socket.substr(5).c_str());
        return run_command("/usr/bin/rrdcached",
                           {"-l", socket, "-b", base, "-B", "-p", pidfile, "-w", "3600", "-f", "7200"},
                           nullptr) == 0;
    }
    bool stop(int sig)
    {
        bool gone = pid_in(pidfile) > 0 && stop_process(pid_in(pidfile), sig);
        unlink(pidfile.c_str());
        return gone;
    }
};

std::string load_conf(int port, const std::string &storage)
{
    return "mux 127.0.0.1 port " + std::to_string(port) + "\nsource 127.0.0.1 { accept { load } " + storage +
           " }\n";
}

std::string load_line(uint64_t t)
{
    return "127.0.0.1;load::" + std::to_string(t) + ":1.00:2.00:3.00;";
}

// colvo -d with its databases behind the cache (if any), listening.
std::unique_ptr<daemon_process> start_colvo(const std::string &conf, const cache_daemon *cache = nullptr)
{
    if (cache)
        setenv("RRDCACHED_ADDRESS", cache->socket.c_str(), 1);
    auto d = std::make_unique<daemon_process>(COLVO, std::vector<std::string>{"-d", "-u", "-f", conf});
    unsetenv("RRDCACHED_ADDRESS");
    EXPECT_TRUE(d->wait_for("listening for incoming probo traffic")) << d->output();
    return d;
}

// Sends load packets to colvo; whether an update was stored, from colvo's
// debug output.
struct load_sender {
    daemon_process *colvo;
    std::string db;
    int port;
    fifo_reader fifo{COLVO_FIFO};
    udp_socket socket{"127.0.0.1"};
    uint64_t t = static_cast<uint64_t>(time(nullptr));
    int packets = 0;

    void send(uint64_t stamp) { socket.send_to("127.0.0.1", port, make_packet(stamp, {load_record(1, 2, 3)})); }
    bool deliver()
    {
        send(++t);
        EXPECT_EQ(load_line(t), fifo.next_line()) << colvo->output();
        EXPECT_TRUE(colvo->wait_for_count("churnbuffer used:", ++packets)) << colvo->output();
        return stored(t);
    }
    bool stored(uint64_t stamp) const
    {
        return count_of(colvo->output(), "debug: rrdupdate -- " + db + " " + std::to_string(stamp) + ":") == 1;
    }
    // The counts of "... succeed again; N had failed" for the database.
    int recovered() const
    {
        std::regex told("rrd updates of " + db + " succeed again; ([0-9]+) had failed");
        int sum = 0;
        const std::string &out = colvo->output();
        for (std::sregex_iterator m(out.begin(), out.end(), told), end; m != end; ++m)
            sum += std::stoi((*m)[1]);
        return sum;
    }
};

// Another user binding colvo's port after it, with or without a sharing
// option, on its address or the wildcard, is refused; colvo keeps every
// datagram.
TEST(ColvoFaults, NoOtherUserCanShareItsPort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    temp_dir dir;
    int port = free_udp_port();
    auto colvo = start_colvo(dir.write("colvo.conf", load_conf(port, "")));
    const struct {
        const char *host;
        int option;
    } thieves[] = {{"127.0.0.1", SO_REUSEADDR}, {"0.0.0.0", SO_REUSEADDR}, {"127.0.0.1", SO_REUSEPORT},
                   {"0.0.0.0", 0}};
    for (const auto &thief : thieves) {
        pid_t child = fork();
        if (child == 0) {
            int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
            sockaddr_storage address = socket_address(thief.host, port);
            if (setgid(65534) != 0 || setuid(65534) != 0 ||
                (thief.option && setsockopt(fd, SOL_SOCKET, thief.option, &on, sizeof(on)) != 0))
                _exit(2);
            _exit(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(sockaddr_in)) != 0 && errno == EADDRINUSE);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(1, WEXITSTATUS(status)) << thief.host << " option " << thief.option;
    }
    load_sender s{colvo.get(), "", port};
    for (int i = 0; i < 5; i++)
        s.deliver();
}

// A reload binds what is new before it lets go of anything: onto a taken
// port it keeps the old configuration and its socket; a kept socket keeps
// its queue; a socket that changes is drained under the old configuration,
// also when the new one takes the same port on another local address.
TEST(ColvoFaults, ReloadIsAllOrNothingForSockets)
{
    temp_dir dir;
    auto conf = [&](const std::string &host, int p, const std::string &streams) {
        return dir.write("colvo.conf", "mux " + host + " port " + std::to_string(p) +
                                           "\nsource 127.0.0.1 { accept { " + streams + " } }\n");
    };
    int port = free_udp_port(), other = free_udp_port(), hups = 0;
    auto colvo = start_colvo(conf("127.0.0.1", port, "load"));
    load_sender s{colvo.get(), "", port};
    // Packets queued while colvo is stopped, then a reload before it reads
    // them: each gives its line, under the old configuration.
    auto reload_behind = [&](int queued, bool load_accepted, const std::string &host, int p,
                             const std::string &streams) {
        colvo->signal(SIGSTOP);
        int status = 0;
        waitpid(colvo->pid(), &status, WUNTRACED);
        for (int i = 1; i <= queued; i++)
            s.send(s.t + static_cast<uint64_t>(i));
        conf(host, p, streams);
        colvo->signal(SIGHUP);
        colvo->signal(SIGCONT);
        for (int i = 0; i < queued; i++, s.t++)
            EXPECT_EQ(load_accepted ? load_line(s.t + 1) : "127.0.0.1;", s.fifo.next_line()) << colvo->output();
        s.packets += queued;
        EXPECT_TRUE(colvo->wait_for_count("hup received", ++hups));
    };

    udp_socket squatter("127.0.0.1");
    reload_behind(2, true, "127.0.0.1", squatter.port(), "load");
    EXPECT_TRUE(colvo->wait_for("warning: mux address 127.0.0.1 " + std::to_string(squatter.port()) +
                                " already in use\nnew configuration cannot open its sockets; keeping old "
                                "configuration\n"));
    s.deliver();
    reload_behind(5, true, "127.0.0.1", port, "load cpu(0)");
    s.deliver();
    reload_behind(3, true, "127.0.0.1", other, "cpu(0)");
    s.port = other;
    s.send(++s.t);
    EXPECT_EQ("127.0.0.1;", s.fifo.next_line()) << "load is no longer accepted";
    s.packets++;
    reload_behind(3, false, "0.0.0.0", other, "load");
    reload_behind(3, true, "127.0.0.1", other, "load");
    s.deliver();
    EXPECT_EQ(4, count_of(colvo->output(), "read configuration file"));
}

// A database missing at a reload stays attached, written one by one or
// guessed from the data directory: its update fails and is told, and the
// first one after the file is back is stored, without another reload.
TEST(ColvoFaults, DatabaseMissingAtReloadStaysAttached)
{
    for (const bool guessed : {true, false}) {
        temp_dir dir;
        int port = free_udp_port();
        std::string db = dir.file("load.rrd"), out;
        std::string conf =
            dir.write("colvo.conf", load_conf(port, guessed ? "datadir " + dir.path() : "write load in " + db));
        ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
        auto colvo = start_colvo(conf);
        load_sender s{colvo.get(), db, port};
        ASSERT_EQ(0, rename(db.c_str(), (db + ".away").c_str()));
        colvo->signal(SIGHUP);
        EXPECT_TRUE(colvo->wait_for("file '" + db + "' stays attached")) << colvo->output();
        EXPECT_TRUE(colvo->wait_for("read configuration file")) << colvo->output();
        EXPECT_FALSE(s.deliver());
        EXPECT_TRUE(colvo->wait_for("warning: rrd_update:opening '" + db + "': No such file or directory"));
        ASSERT_EQ(0, rename((db + ".away").c_str(), db.c_str()));
        EXPECT_TRUE(s.deliver()) << guessed;
        EXPECT_EQ(1, s.recovered()) << colvo->output();
        EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", db}, &out));
        EXPECT_EQ(1, count_of(out, std::to_string(s.t) + ": 1.00 2.00 3.00")) << out;
    }
}

// A sender faster than colvo keeps its socket ready at every wait: SIGHUP
// still reloads and SIGTERM still ends it within a second.
TEST(ColvoFaults, SignalsReachItUnderAFlood)
{
    temp_dir dir;
    int port = free_udp_port();
    std::string out, conf = dir.write("colvo.conf", load_conf(port, "datadir " + dir.path()));
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    auto colvo = start_colvo(conf);
    std::atomic<bool> stop{false};
    // Stamped alike: every update after the first is refused by the
    // database, which costs colvo more than the sending costs us.
    std::thread flood([&] {
        udp_socket sender("127.0.0.1");
        auto packet = make_packet(static_cast<uint64_t>(time(nullptr)), {load_record(1, 2, 3)});
        while (!stop)
            sender.send_to("127.0.0.1", port, packet);
    });
    EXPECT_TRUE(colvo->wait_for_count("churnbuffer used: ", 200)) << colvo->output().substr(0, 2000);
    colvo->signal(SIGHUP);
    EXPECT_TRUE(colvo->wait_for("read configuration file", 1000));
    colvo->signal(SIGTERM);
    int status = colvo->wait_exit(1000);
    stop = true;
    flood.join();
    EXPECT_EQ(75, status);
}

// Past the first five, each failing file is named once with the library's
// reason; the counts per file are summed up with their reasons, and what
// is pending is told when colvo ends.
TEST(ColvoFaults, DatabaseFailuresAreToldPerFile)
{
    temp_dir dir;
    int port = free_udp_port();
    std::string out, streams;
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 7; i++) {
        streams += " cpu(" + std::to_string(i) + ")";
        records.push_back(cpu_record(std::to_string(i), 1));
    }
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept {" + streams + " } datadir " +
                                                   dir.path() + " }\n");
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    auto colvo = start_colvo(conf);
    // cpu0 gone, cpu1 to cpu5 garbage or cut short, cpu6 sound.
    ASSERT_EQ(0, unlink(dir.file("cpu0.rrd").c_str()));
    for (int i = 1; i < 6; i++) {
        std::string name = "cpu" + std::to_string(i) + ".rrd";
        if (i % 2)
            dir.write(name, "not a database");
        else
            ASSERT_EQ(0, truncate(dir.file(name).c_str(), 100));
    }
    load_sender s{colvo.get(), "", port};
    for (int packet = 1; packet <= 3; packet++) {
        s.socket.send_to("127.0.0.1", port, make_packet(++s.t, records));
        EXPECT_NE("<timeout>", s.fifo.next_line());
        EXPECT_TRUE(colvo->wait_for_count("churnbuffer used:", packet));
    }
    const std::string &told = colvo->output();
    EXPECT_EQ(5, count_of(told, "warning: rrd_update:")) << told;
    EXPECT_EQ(1, count_of(told, "warning: maximum rrd errors reached - will stop reporting them"));
    EXPECT_EQ(1, count_of(told, "warning: rrd update of "));
    EXPECT_EQ(1, count_of(told, "warning: rrd update of " + dir.file("cpu5.rrd") + " failed: ")) << told;
    EXPECT_EQ(3, count_of(told, "debug: rrdupdate -- " + dir.file("cpu6.rrd")));
    colvo->signal(SIGTERM);
    EXPECT_EQ(75, colvo->wait_exit());
    EXPECT_EQ(1, count_of(told, "warning: 12 more rrd updates failed in the last ")) << told;
    // The five files with most failures, each with its reason.
    EXPECT_EQ(5, count_of(told, ".rrd failed 3 times in the last ")) << told;
    EXPECT_EQ(1, count_of(told, "rrd updates of " + dir.file("cpu0.rrd") + " failed 3 times in the last "));
    EXPECT_EQ(1, count_of(told, " s: opening '" + dir.file("cpu0.rrd") + "': No such file or directory\n"));
    EXPECT_EQ(1, count_of(told, "warning: 3 more rrd updates of other files failed in the last ")) << told;
}

// probo tells its first send failure at once, and the end of the failures
// with the updates lost until then.
TEST(ProboFaults, SendFailuresAreToldAtOnceAndWhenTheyEnd)
{
    if (geteuid() != 0 || access("/usr/sbin/ip", X_OK) != 0)
        GTEST_SKIP() << "needs root and ip(8) for a network namespace";
    temp_dir dir;
    std::string conf = dir.write("probo.conf", "monitor { load } every second stream to 127.0.0.1 port 9\n");
    // A network namespace of its own, whose loopback is down.
    daemon_process probo("/usr/bin/unshare", {"-n", PROBO, "-d", "-u", "-f", conf});
    EXPECT_TRUE(probo.wait_for("warning: sending to mux(127.0.0.1 9 (1s)) failed: Network is unreachable\n"))
        << probo.output();
    std::string out, ns = "--net=/proc/" + std::to_string(probo.pid()) + "/ns/net";
    ASSERT_EQ(0, run_command("/usr/bin/nsenter", {ns, "/usr/sbin/ip", "link", "set", "lo", "up"}, &out)) << out;
    EXPECT_TRUE(probo.wait_for("sending to mux(127.0.0.1 9 (1s)) works again\n")) << probo.output();
    std::smatch lost;
    std::string told = probo.output();
    ASSERT_TRUE(std::regex_search(told, lost, std::regex("warning: ([0-9]+) updates to mux\\(127.0.0.1 9 "
                                                         "\\(1s\\)\\) lost due to send errors\nsending")))
        << told;
    EXPECT_LE(1, std::stoi(lost[1]));
    EXPECT_EQ(1, count_of(told, "failed: Network is unreachable"));
    probo.signal(SIGTERM);
    EXPECT_EQ(1, probo.wait_exit());
}

// colvo-mkrrd on a full file system says why it could not create a file.
TEST(MkrrdFaults, FullFileSystemIsNamed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a mount namespace";
    temp_dir dir;
    std::string small = dir.file("small"), out;
    ASSERT_EQ(0, mkdir(small.c_str(), 0755));
    std::string conf = dir.write("colvo.conf", load_conf(2100, "datadir " + small));
    // A 512 KiB file system of its own, seen only by colvo-mkrrd.
    EXPECT_EQ(1, run_command("/usr/bin/unshare", {"-m", "/bin/sh", "-c",
                                                  "mount -t tmpfs -o size=512k tmpfs " + small + " && exec " +
                                                      MKRRD + " -f " + conf},
                             &out));
    EXPECT_EQ("warning: cannot create " + small + "/load.rrd: No space left on device - free some space there\n", out);
}

// probo to colvo for real while rrdcached is killed, stopped, or restarted
// between two packets: colvo stays up, every packet gives its line, updates
// resume with the first packet after each restart, and the failures colvo
// tells are exactly the updates tried while rrdcached was down.
TEST(PairFaults, RrdcachedRestartedWhileProboSends)
{
    temp_dir dir;
    cache_daemon cache{dir.path()};
    ASSERT_TRUE(cache.start());
    int port = free_udp_port();
    std::string db = dir.file("load.rrd"), out, conf = dir.write("colvo.conf", load_conf(port, "write load in " + db));
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf, "-s", "1"}, &out)) << out;
    auto colvo = start_colvo(conf, &cache);
    load_sender s{colvo.get(), db, port};
    daemon_process probo(PROBO, {"-d", "-u", "-f",
                                 dir.write("probo.conf", "monitor { load } every second stream to 127.0.0.1 port " +
                                                             std::to_string(port) + "\n")});
    std::vector<uint64_t> stamps;
    // The next line from probo's packets, and whether its update was stored.
    auto next = [&]() {
        std::smatch m;
        std::string line = s.fifo.next_line(3000);
        EXPECT_TRUE(std::regex_match(line, m, std::regex("127\\.0\\.0\\.1;load::([0-9]+):[0-9.:]+;"))) << line;
        stamps.push_back(m.empty() ? 0 : std::stoull(m[1]));
        EXPECT_TRUE(colvo->wait_for_count("churnbuffer used:", static_cast<int>(stamps.size())));
        return s.stored(stamps.back());
    };
    EXPECT_TRUE(next());
    int down = 0;
    for (int round = 0; round < 4; round++) {
        next(); // just come: the next one is a second away
        ASSERT_TRUE(cache.stop(round == 1 ? SIGTERM : SIGKILL));
        // One may still be answered while it stops; two go while it is down.
        // The last time it is back before the next packet: none is lost.
        int failures = 0;
        for (int lines = 0; round < 3 && failures < 2 && lines < 4; lines++)
            failures += !next();
        EXPECT_EQ(round < 3 ? 2 : 0, failures) << round;
        down += failures;
        ASSERT_TRUE(cache.start());
        EXPECT_TRUE(next()) << "the first packet after restart " << round;
        EXPECT_EQ(down, s.recovered()) << colvo->output();
    }
    probo.signal(SIGTERM);
    EXPECT_EQ(1, probo.wait_exit());
    colvo->signal(SIGTERM);
    EXPECT_EQ(75, colvo->wait_exit()) << "up throughout";
    int failed = 0;
    for (uint64_t t : stamps)
        failed += !s.stored(t);
    EXPECT_EQ(down, failed);
    // Every packet probo made is a line: one a second but those skipped.
    for (size_t i = 1; i < stamps.size(); i++)
        EXPECT_LT(stamps[i - 1], stamps[i]);
    EXPECT_EQ(static_cast<int>(stamps.back() - stamps.front() + 1 - stamps.size()),
              count_of(probo.output(), "skipping a measurement"));
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", "--daemon", cache.socket, db}, &out));
    EXPECT_EQ(1, count_of(out, std::to_string(stamps.back()) + ":")) << out;
}

} // namespace
