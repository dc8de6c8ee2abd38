// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Signed packets between the real daemons on loopback: probo with a key to
// colvo with the same key, probo's boot and sequence across its reload,
// forgeries and replays from the keyed source's address, an unkeyed source
// beside it, key files open to others, colvo started as root running as
// _colvo, and losses behind a relay that drops every third datagram.
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <ctime>
#include <unistd.h>

#include "auth.h"
#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "packet.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN, COLVO = COLVO_BIN, MKRRD = MKRRD_BIN;
const char KEY[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const char OTHER_KEY[] = "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

struct Signed : ::testing::Test {
    temp_dir dir;
    int port = free_udp_port();
    std::string key = dir.write("colvo.key", std::string(KEY) + "\n");
    std::string conf;

    Signed() { chmod(key.c_str(), 0600); }

    // The keyed source 127.0.0.1 stores its load, 127.0.0.2 has no key.
    void write_conf(const std::string &extra = "")
    {
        conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                           "\nsource 127.0.0.1 { accept { load" + extra + " } datadir " +
                                           dir.path() + " key \"" + key + "\" }\n" +
                                           "source 127.0.0.2 { accept { load } }\n");
    }
    std::unique_ptr<daemon_process> colvo(const std::vector<std::string> &args = {"-d", "-u"})
    {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"-f", conf});
        auto d = std::make_unique<daemon_process>(COLVO, all);
        EXPECT_TRUE(d->wait_for("listening for incoming probo traffic")) << d->output();
        return d;
    }
    std::string probo_conf(int to_port, const std::string &streams = "load")
    {
        return dir.write("probo.conf", "monitor { " + streams + " } every second stream to " +
                                           "127.0.0.1 " + std::to_string(to_port) + " key \"" +
                                           key + "\"\n");
    }
    std::unique_ptr<daemon_process> probo(int to_port)
    {
        std::string pc = probo_conf(to_port);
        return std::make_unique<daemon_process>(PROBO, std::vector<std::string>{"-d", "-u", "-f", pc});
    }
    static uint64_t now() { return static_cast<uint64_t>(time(nullptr)); }
};

const std::regex LOAD_LINE("127\\.0\\.0\\.1;load::([0-9]+):[0-9.]+:[0-9.]+:[0-9.]+;");

TEST_F(Signed, ProboToColvoAsTodayForgeriesAndReplaysRefused)
{
    write_conf();
    std::string out, db = dir.file("load.rrd");
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    auto d = colvo();
    fifo_reader fifo(COLVO_FIFO);
    {
        auto p = probo(port);
        std::smatch m;
        std::string line = fifo.next_line();
        ASSERT_TRUE(std::regex_match(line, m, LOAD_LINE)) << line << d->output();
        EXPECT_TRUE(d->wait_for("rrdupdate -- " + db + " " + m[1].str() + ":")) << d->output();
        p->signal(SIGTERM);
        EXPECT_EQ(1, p->wait_exit());
    }
    d->drain();
    int updates = count_of(d->output(), "rrdupdate -- ");
    int lines_before = count_of(d->output(), "churnbuffer used");

    // From the keyed source's address, with a right CRC: no line, no update,
    // one warning each.
    udp_socket keyed("127.0.0.1"), plain("127.0.0.2");
    uint64_t t = now() + 1;
    keyed.send_to("127.0.0.1", port, make_packet(t, {load_record(6, 6, 6)}));
    keyed.send_to("127.0.0.1", port, make_signed_packet(t, {load_record(6, 6, 6)}, OTHER_KEY, "0101010101010101", 0));
    // The same signed datagram twice: the second is a replay.
    auto once = make_signed_packet(t, {load_record(7, 7, 7)}, KEY, "0202020202020202", 0);
    keyed.send_to("127.0.0.1", port, once);
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t) + ":7.00:7.00:7.00;", fifo.next_line());
    keyed.send_to("127.0.0.1", port, once);
    // The unkeyed source's lines are today's, whether signed or not.
    std::string plain_line = "127.0.0.2;load::" + std::to_string(t) + ":1.00:2.00:3.00;";
    plain.send_to("127.0.0.1", port, make_packet(t, {load_record(1, 2, 3)}));
    EXPECT_EQ(plain_line, fifo.next_line());
    plain.send_to("127.0.0.1", port, make_signed_packet(t, {load_record(1, 2, 3)}, KEY, "0303030303030303", 0));
    EXPECT_EQ(plain_line, fifo.next_line());
    EXPECT_TRUE(d->wait_for("ignored replayed packet from 127.0.0.1:" + std::to_string(keyed.port())));
    d->drain();
    EXPECT_EQ(1, count_of(d->output(), "warning: ignored packet without authenticator from 127.0.0.1:"));
    EXPECT_EQ(1, count_of(d->output(), "warning: ignored packet with bad mac from 127.0.0.1:"));
    EXPECT_EQ(1, count_of(d->output(), "warning: ignored replayed packet from 127.0.0.1:"));
    EXPECT_EQ(updates + 1, count_of(d->output(), "rrdupdate -- ")) << "only the signed one is stored";
    EXPECT_EQ(lines_before + 3, count_of(d->output(), "churnbuffer used"));
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", db}, &out));
    EXPECT_NE(std::string::npos, out.find(std::to_string(t) + ": 7.00 7.00 7.00")) << out;
    d->signal(SIGTERM);
    EXPECT_EQ(75, d->wait_exit());
}

// probo rereads its configuration: the destination that stays signs on
// with its boot and the next sequence number, as a keyed collector follows
// them.
TEST_F(Signed, ProboSignsOnAcrossItsReload)
{
    udp_socket collector("127.0.0.1");
    auto p = probo(collector.port());
    uint8_t raw[KEY_SIZE];
    for (int i = 0; i < KEY_SIZE; i++)
        raw[i] = static_cast<uint8_t>(i); // KEY's bytes
    auth_key *check = auth_key_new(raw);
    std::vector<authenticator> seen;
    int first_length = 0, reread = 0;
    // Until two packets of the reread configuration, which adds mem.
    while (reread < 2) {
        std::vector<uint8_t> packet = collector.receive();
        ASSERT_FALSE(packet.empty()) << p->output();
        packet_header h;
        header_from_wire(packet.data(), &h);
        memset(packet.data(), 0, 4);
        authenticator a = {};
        int received = static_cast<int>(packet.size());
        ASSERT_EQ(AUTH_OK, auth_verify(check, packet.data(), h.length, received, &a));
        seen.push_back(a);
        if (first_length == 0) {
            first_length = h.length;
            probo_conf(collector.port(), "load, mem");
            p->signal(SIGHUP);
        }
        reread += h.length != first_length;
    }
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(i, seen[i].sequence);
        EXPECT_EQ(0, memcmp(seen[0].boot, seen[i].boot, AUTH_BOOT_SIZE)) << i;
    }
    auth_key_free(check);
    p->signal(SIGTERM);
    EXPECT_EQ(1, p->wait_exit());
}

TEST_F(Signed, KeyFileOpenToOthersIsRefusedAtStart)
{
    write_conf();
    chmod(key.c_str(), 0644);
    std::string out, complaint = "key file '" + key + "' is open to group or others (mode 644)";
    EXPECT_EQ(1, run_command(COLVO, {"-d", "-u", "-f", conf}, &out));
    EXPECT_NE(std::string::npos, out.find(complaint)) << out;
    EXPECT_NE(std::string::npos, out.find("fatal: configuration contained errors; quitting")) << out;
    std::string pc = dir.write("probo.conf", "monitor { load } stream to 127.0.0.1 key \"" + key + "\"\n");
    EXPECT_EQ(1, run_command(PROBO, {"-t", "-f", pc}, &out));
    EXPECT_NE(std::string::npos, out.find(complaint)) << out;
    EXPECT_EQ(std::string::npos, out.find("0001020304")) << "never the key";
}

// The MAC does not cover the sender: a key on two sources would let one's
// packets be replayed as the other's. The same file, or the same key in
// two files, is refused naming both, at start and at a reload.
TEST_F(Signed, OneKeyOnTwoSourcesIsRefused)
{
    std::string copy = dir.write("copy.key", std::string(KEY) + "\n");
    std::string other = dir.write("other.key", std::string(OTHER_KEY) + "\n");
    chmod(copy.c_str(), 0600);
    chmod(other.c_str(), 0600);
    auto two_sources = [&](const std::string &second) {
        conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                           "\nsource 127.0.0.1 { accept { load } key \"" + key +
                                           "\" }\nsource 127.0.0.6 { accept { load } key \"" + second + "\" }\n");
        return conf + ": sources '127.0.0.1' and '127.0.0.6' share one key (key files '" + key + "' and '" + second +
               "'): a key belongs to one source\n";
    };
    for (const std::string &second : {key, copy}) {
        std::string out, complaint = two_sources(second);
        EXPECT_EQ(1, run_command(COLVO, {"-t", "-f", conf}, &out));
        EXPECT_EQ(1, count_of(out, complaint)) << out;
        daemon_process start(COLVO, {"-d", "-u", "-f", conf});
        EXPECT_EQ(1, start.wait_exit());
        EXPECT_EQ(1, count_of(start.output(), complaint)) << start.output();
        EXPECT_NE(std::string::npos, start.output().find("fatal: configuration contained errors; quitting"));
    }
    two_sources(other);
    auto d = colvo();
    std::string complaint = two_sources(copy);
    d->signal(SIGHUP);
    EXPECT_TRUE(d->wait_for(complaint)) << d->output();
    EXPECT_TRUE(d->wait_for("new configuration contains errors; keeping old configuration"));
    // 127.0.0.1's packet resent from 127.0.0.6 is refused there.
    fifo_reader fifo(COLVO_FIFO);
    udp_socket six("127.0.0.6");
    uint64_t t = now();
    six.send_to("127.0.0.1", port, make_signed_packet(t, {load_record(1, 1, 1)}, KEY, "0808080808080808", 0));
    EXPECT_TRUE(d->wait_for("warning: ignored packet with bad mac from 127.0.0.6:")) << d->output();
    six.send_to("127.0.0.1", port, make_signed_packet(t, {load_record(6, 6, 6)}, OTHER_KEY, "0808080808080808", 0));
    EXPECT_EQ("127.0.0.6;load::" + std::to_string(t) + ":6.00:6.00:6.00;", fifo.next_line());
    d->signal(SIGTERM);
    EXPECT_EQ(75, d->wait_exit());
}

// A validly signed packet whose sequence number leaps past any plausible
// loss is refused and moves nothing: the genuine packets after it are
// taken. Up to 2^32 numbers may be skipped, of the start followed or from
// 0 of a new start.
TEST_F(Signed, ASequenceJumpIsRefusedAndMovesNothing)
{
    write_conf();
    auto d = colvo();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket keyed("127.0.0.1");
    const uint64_t GAP = 1ull << 32;
    const struct {
        const char *boot;
        uint64_t sequence;
        bool taken;
    } cases[] = {
        {"0606060606060606", 0, true},
        {"0606060606060606", 1ull << 63, false},
        {"0606060606060606", 1, true},
        {"0606060606060606", 2 + GAP, true},
        {"0606060606060606", 2 + GAP + GAP + 2, false},
        {"0606060606060606", 3 + GAP, true},
        {"0707070707070707", GAP + 1, false},
        {"0707070707070707", GAP, true},
    };
    uint64_t t = now();
    int refused = 0;
    std::string warning = "warning: ignored packet from 127.0.0.1:" + std::to_string(keyed.port()) + ": it skips ";
    for (const auto &c : cases) {
        keyed.send_to("127.0.0.1", port, make_signed_packet(++t, {load_record(1, 1, 1)}, KEY, c.boot, c.sequence));
        if (c.taken)
            EXPECT_EQ("127.0.0.1;load::" + std::to_string(t) + ":1.00:1.00:1.00;", fifo.next_line()) << c.sequence;
        else
            EXPECT_TRUE(d->wait_for_count(warning, ++refused)) << c.sequence << d->output();
    }
    EXPECT_EQ(1, count_of(d->output(), warning + "9223372036854775807 sequence numbers\n")) << d->output();
    d->signal(SIGTERM);
    EXPECT_EQ(75, d->wait_exit());
    EXPECT_EQ(refused, count_of(d->output(), warning));
    // Lost: 2^32 of the first start, then the 2^32 of the new one's.
    EXPECT_EQ(1, count_of(d->output(), "warning: lost 8589934592 packets from 127.0.0.1 in the last ")) << d->output();
}

// colvo's figures line, which the live socket gives each client first.
std::string figures_now()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", COLVO_SOCKET);
    std::string line;
    char c;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0)
        while (read(fd, &c, 1) == 1 && c != '\n')
            line += c;
    close(fd);
    return line;
}

// A detached colvo keeps what it knows of keyed sources across restarts:
// the packets it took, resent after a restart, and a packet of an earlier
// start stamped 200 s ago are refused. With its state gone or damaged it
// takes nothing stamped before its own start.
TEST_F(Signed, ReplaysAreRefusedAcrossRestarts)
{
    write_conf();
    unlink(COLVO_STATE);
    auto start = [&] {
        std::string out;
        EXPECT_EQ(0, run_command(COLVO, {"-u", "-f", conf}, &out)) << out;
        return pid_in(COLVO_PIDFILE);
    };
    auto line = [](uint64_t t, int v) {
        std::string n = std::to_string(v) + ".00";
        return "127.0.0.1;load::" + std::to_string(t) + ":" + n + ":" + n + ":" + n + ";";
    };
    const char BOOT[] = "0909090909090909";
    udp_socket keyed("127.0.0.1");
    uint64_t t = now();
    auto first = make_signed_packet(t, {load_record(1, 1, 1)}, KEY, BOOT, 0);
    auto last = make_signed_packet(t, {load_record(2, 2, 2)}, KEY, BOOT, 1);
    auto next = make_signed_packet(t, {load_record(4, 4, 4)}, KEY, BOOT, 2);
    pid_t pid = start();
    {
        fifo_reader fifo(COLVO_FIFO);
        keyed.send_to("127.0.0.1", port, first);
        EXPECT_EQ(line(t, 1), fifo.next_line());
        keyed.send_to("127.0.0.1", port, last);
        EXPECT_EQ(line(t, 2), fifo.next_line());
    }
    ASSERT_TRUE(stop_process(pid));
    pid = start();
    {
        fifo_reader fifo(COLVO_FIFO);
        keyed.send_to("127.0.0.1", port, last);
        keyed.send_to("127.0.0.1", port, first);
        keyed.send_to("127.0.0.1", port, make_signed_packet(t - 200, {load_record(3, 3, 3)}, KEY, "0a0a0a0a0a0a0a0a", 7));
        keyed.send_to("127.0.0.1", port, next);
        EXPECT_EQ(line(t, 4), fifo.next_line());
        std::string figures = figures_now();
        EXPECT_NE(std::string::npos, figures.find(";replayed=2;earlier_start=1;off_time=0;lost=0;")) << figures;
    }
    ASSERT_TRUE(stop_process(pid));
    std::istringstream kept(read_file(COLVO_STATE));
    std::string header, entry, end;
    std::getline(kept, header);
    std::getline(kept, entry);
    std::getline(kept, end);
    EXPECT_EQ("colvo replay state 1", header);
    EXPECT_EQ("127.0.0.1 " + std::string(BOOT) + " 2 " + std::to_string(t), entry);
    EXPECT_EQ("end 1 ", end.substr(0, 6));

    // Stamped at t, next is older than colvo's start from the second after.
    timespec second = {static_cast<time_t>(t + 1), 0};
    while (now() <= t)
        clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &second, nullptr);
    std::string good = read_file(COLVO_STATE);
    std::string damaged = good;
    damaged[damaged.find(" 2 ") + 1] = '1'; // would take next again
    const std::string states[] = {"", good.substr(0, good.size() / 2), damaged};
    int sequence = 3;
    for (const std::string &state : states) {
        unlink(COLVO_STATE);
        if (!state.empty())
            dir.write("state", state), rename(dir.file("state").c_str(), COLVO_STATE);
        pid = start();
        fifo_reader fifo(COLVO_FIFO);
        keyed.send_to("127.0.0.1", port, next);
        uint64_t fresh = now();
        keyed.send_to("127.0.0.1", port, make_signed_packet(fresh, {load_record(5, 5, 5)}, KEY, BOOT, sequence++));
        EXPECT_EQ(line(fresh, 5), fifo.next_line()) << state;
        EXPECT_NE(std::string::npos, figures_now().find(";earlier_start=1;")) << state;
        ASSERT_TRUE(stop_process(pid));
    }
    // The other tests' debug runs would read it.
    unlink(COLVO_STATE);
}

// The relay between probo and colvo forwards datagrams 0, 1, 3, 4 and 6,
// so colvo sees sequence numbers skip twice, one each.
TEST_F(Signed, LossesBehindARelayAreCountedExactly)
{
    write_conf();
    auto d = colvo();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket relay("127.0.0.1"), onward("127.0.0.1");
    auto p = probo(relay.port());
    for (int i = 0; i < 7; i++) {
        std::vector<uint8_t> datagram = relay.receive();
        ASSERT_FALSE(datagram.empty()) << i << p->output();
        if (i % 3 != 2) {
            onward.send_to("127.0.0.1", port, datagram);
            EXPECT_NE("<timeout>", fifo.next_line());
        }
    }
    p->signal(SIGTERM);
    p->wait_exit();
    // Summed up once a minute, and at exit.
    d->signal(SIGTERM);
    EXPECT_EQ(75, d->wait_exit());
    EXPECT_EQ(1, count_of(d->output(), "warning: lost 2 packets from 127.0.0.1 in the last ")) << d->output();
}

std::string status_field(pid_t pid, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(name.size() + 1);
    return "";
}

// Started as root, colvo becomes a throwaway _colvo before its first
// datagram and stores updates as that user, with no capability left.
TEST_F(Signed, StartedAsRootRunsAsColvo)
{
    if (geteuid() != 0 || getpwnam("_colvo") != nullptr)
        GTEST_SKIP() << "needs root, and no _colvo user yet";
    write_conf(" cpu(0)");
    std::string out;
    EXPECT_EQ(1, run_command(COLVO, {"-d", "-f", conf}, &out));
    EXPECT_NE(std::string::npos, out.find("fatal: no user '_colvo' to run as: create it (see colvo(8)), "
                                          "or start colvo with -u to keep running as root"))
        << out;
    // A database made before the user existed stays root's.
    dir.write("only-cpu.conf", "mux 127.0.0.1\nsource 127.0.0.1 { accept { cpu(0) } datadir " + dir.path() + " }\n");
    ASSERT_EQ(0, run_command(MKRRD, {"-f", dir.file("only-cpu.conf")}, &out)) << out;
    ASSERT_EQ(0, run_command("/usr/sbin/useradd", {"-r", "-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", "_colvo"},
                             &out))
        << out;
    struct cleanup {
        ~cleanup() { run_command("/usr/sbin/userdel", {"_colvo"}, nullptr); }
    } remove_user;
    const passwd *pw = getpwnam("_colvo");
    ASSERT_NE(nullptr, pw);
    std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid);
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("load.rrd").c_str(), &st));
    EXPECT_EQ(pw->pw_uid, st.st_uid);
    EXPECT_EQ(pw->pw_gid, st.st_gid);
    chmod(dir.path().c_str(), 0755);

    auto d = colvo({"-d"});
    EXPECT_TRUE(d->wait_for("running as user _colvo")) << d->output();
    EXPECT_TRUE(d->wait_for("warning: database '" + dir.file("cpu0.rrd") +
                            "' cannot be written by _colvo: Permission denied"))
        << d->output();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket keyed("127.0.0.1");
    uint64_t t = now();
    keyed.send_to("127.0.0.1", port, make_signed_packet(t, {load_record(4, 5, 6)}, KEY, "0404040404040404", 0));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t) + ":4.00:5.00:6.00;", fifo.next_line());
    EXPECT_TRUE(d->wait_for("rrdupdate -- " + dir.file("load.rrd"))) << d->output();
    EXPECT_EQ("\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid, status_field(d->pid(), "Uid"));
    EXPECT_EQ("\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid, status_field(d->pid(), "Gid"));
    EXPECT_EQ("\t" + gid + " ", status_field(d->pid(), "Groups"));
    EXPECT_EQ("\t0000000000000000", status_field(d->pid(), "CapEff"));
    EXPECT_EQ("\t0000000000000000", status_field(d->pid(), "CapPrm"));

    // Root is gone for good: a reload that needs it keeps what runs.
    std::string root_key = dir.write("root.key", std::string(KEY) + "\n");
    chmod(root_key.c_str(), 0600);
    std::string running = read_file(conf);
    dir.write("colvo.conf", std::regex_replace(running, std::regex("colvo\\.key"), "root.key"));
    d->signal(SIGHUP);
    EXPECT_TRUE(d->wait_for("key file '" + root_key + "' is readable by root only, and colvo gave up root at "
                            "start: make it _colvo's (mode 0400) or restart colvo"))
        << d->output();
    EXPECT_TRUE(d->wait_for("new configuration contains errors; keeping old configuration"));
    // Key files are best _colvo's: then a reload reads them too.
    ASSERT_EQ(0, chown(key.c_str(), pw->pw_uid, pw->pw_gid));
    dir.write("colvo.conf", std::regex_replace(running, std::regex("port [0-9]+"), "port 999"));
    d->signal(SIGHUP);
    EXPECT_TRUE(d->wait_for("binding port 999 needs root, which colvo gave up at start: restart colvo to bind it"))
        << d->output();
    EXPECT_TRUE(d->wait_for("new configuration cannot open its sockets; keeping old configuration"));
    keyed.send_to("127.0.0.1", port, make_signed_packet(t + 1, {load_record(4, 5, 7)}, KEY, "0404040404040404", 1));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t + 1) + ":4.00:5.00:7.00;", fifo.next_line());
    d->signal(SIGTERM);
    EXPECT_EQ(75, d->wait_exit());
    EXPECT_EQ(std::string::npos, d->output().find("rrd_update:")) << d->output();
    EXPECT_EQ(1, count_of(d->output(), "cannot be written by _colvo"));
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", dir.file("load.rrd")}, &out));
    EXPECT_NE(std::string::npos, out.find(std::to_string(t + 1) + ": 4.00 5.00 7.00")) << out;
}

} // namespace
