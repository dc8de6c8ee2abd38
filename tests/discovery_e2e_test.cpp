// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A fleet without lists, on loopback: probo sends what it finds on this
// host, colvo takes all of it and makes each database at its first packet;
// an interface made while probo runs joins; a source past its max files
// gets exactly that many; a keyed source's forgeries make nothing; host
// files included from a folder are read again at a reload; cpu(40) passes
// both sides.
#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "readconf.h"
#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "lexer.h"
#include "packet.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN, COLVO = COLVO_BIN, RRDTOOL = "/usr/bin/rrdtool";
const char KEY[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

// The entries of a FIFO line: "type(argument)" to the update's timestamp.
std::map<std::string, std::string> entries(const std::string &line)
{
    std::map<std::string, std::string> found;
    std::stringstream in(line.substr(line.find(';') + 1));
    for (std::string entry; std::getline(in, entry, ';');) {
        std::stringstream fields(entry);
        std::string type, argument, stamp;
        std::getline(fields, type, ':');
        std::getline(fields, argument, ':');
        std::getline(fields, stamp, ':');
        found[type + "(" + argument + ")"] = stamp;
    }
    return found;
}

int count_type(const std::map<std::string, std::string> &e, const std::string &type)
{
    int n = 0;
    for (const auto &kv : e)
        n += kv.first.compare(0, type.size() + 1, type + "(") == 0;
    return n;
}

// The figures colvo gives a live reader on connecting.
std::string figures_line()
{
    int fd = connect_live();
    std::string text;
    if (fd >= 0)
        for (char c; text.find('\n') == std::string::npos;) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1 || read(fd, &c, 1) != 1)
                break;
            text += c;
        }
    if (fd >= 0)
        close(fd);
    return text;
}

long long figure(const std::string &line, const std::string &key)
{
    size_t at = line.find(";" + key + "=");
    return at == std::string::npos ? -1 : std::stoll(line.substr(at + key.size() + 2));
}

int files_in(const std::string &folder)
{
    int n = 0;
    if (DIR *d = opendir(folder.c_str())) {
        while (const dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

std::string last_update(const std::string &file)
{
    std::string out;
    run_command(RRDTOOL, {"lastupdate", file}, &out);
    size_t colon = out.rfind(':');
    size_t start = out.rfind('\n', colon);
    return colon == std::string::npos ? out : out.substr(start + 1, colon - start - 1);
}

struct Fleet : ::testing::Test {
    temp_dir dir;
    int port = free_udp_port();
    std::string db = dir.file("db");

    std::string colvo_conf(const std::string &sources)
    {
        return dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) + "\n" + sources);
    }
    std::unique_ptr<daemon_process> colvo(const std::string &conf)
    {
        auto d = std::make_unique<daemon_process>(COLVO, std::vector<std::string>{"-d", "-u", "-f", conf});
        EXPECT_TRUE(d->wait_for("listening for incoming probo traffic")) << d->output();
        return d;
    }
    std::unique_ptr<daemon_process> probo(const std::string &text)
    {
        std::string conf = dir.write("probo.conf", text + " stream to 127.0.0.1 port " + std::to_string(port) + "\n");
        return std::make_unique<daemon_process>(PROBO, std::vector<std::string>{"-d", "-u", "-f", conf});
    }
    static uint64_t now() { return static_cast<uint64_t>(time(nullptr)); }
};

TEST_F(Fleet, FoundOnTheHostStoredWithoutMkrrd)
{
    auto c = colvo(colvo_conf("source 127.0.0.1 { accept { all } datadir " + db + " create }\n"));
    fifo_reader fifo(COLVO_FIFO);
    auto p = probo("monitor { cpu(*), if(*), io(*), df(*), load, mem } every second");
    auto first = entries(fifo.next_line());
    EXPECT_EQ(sysconf(_SC_NPROCESSORS_ONLN), count_type(first, "cpu"));
    int interfaces = 0;
    struct if_nameindex *names = if_nameindex();
    for (struct if_nameindex *i = names; i && i->if_name; i++)
        interfaces += strlen(i->if_name) < IFNAMSIZ;
    if_freenameindex(names);
    EXPECT_EQ(interfaces, count_type(first, "if"));
    EXPECT_EQ(1u, first.count("df(/)"));
    EXPECT_EQ(1u, first.count("load()"));
    EXPECT_EQ(1u, first.count("mem()"));
    EXPECT_LE(1, count_type(first, "io"));
    // Every database made at the first packet; every one stored in at each.
    EXPECT_EQ(static_cast<int>(first.size()), files_in(db)) << c->output();
    c->drain();
    EXPECT_EQ(static_cast<int>(first.size()), count_of(c->output(), "made " + db));
    // Each database's last update, then again after a later packet: it
    // advances for every one.
    std::map<std::string, long long> stored;
    long long newest = std::stoll(first.begin()->second);
    for (int round = 0; round < 2; round++) {
        std::map<std::string, std::string> line;
        for (std::string text; line.empty() || std::stoll(line.begin()->second) <= newest;) {
            ASSERT_NE("<timeout>", text = fifo.next_line()) << c->output();
            line = entries(text);
        }
        ASSERT_EQ(first.size(), line.size());
        for (const auto &e : line) {
            std::string type = e.first.substr(0, e.first.find('('));
            std::string argument = e.first.substr(type.size() + 1, e.first.size() - type.size() - 2);
            char name[512];
            make_rrd_file_name(name, sizeof(name), stream_type_from_token(keyword_lookup(type.c_str())),
                               argument.c_str());
            long long stamp = std::stoll("0" + last_update(db + name));
            EXPECT_LE(std::stoll(e.second), stamp) << e.first;
            EXPECT_LT(stored[e.first], stamp) << e.first << " advances";
            stored[e.first] = stamp;
            newest = std::max(newest, stamp);
        }
    }
    p->signal(SIGTERM);
    EXPECT_EQ(1, p->wait_exit());
}

// In a network namespace of the test's own, an interface pair made while
// probo runs joins its packets at the next look and gets its database;
// gone, it leaves them. Each change is told once.
TEST_F(Fleet, InterfaceMadeWhileProboRunsJoins)
{
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        GTEST_SKIP() << "no network namespace here: " << strerror(errno);
    std::string out;
    ASSERT_EQ(0, run_command("/usr/sbin/ip", {"link", "set", "lo", "up"}, &out)) << out;
    auto c = colvo(colvo_conf("source 127.0.0.1 { accept { if(*) } datadir " + db + " create }\n"));
    fifo_reader fifo(COLVO_FIFO);
    auto p = probo("discover every second\nmonitor { if(* !lo) } every second");
    EXPECT_EQ("127.0.0.1;", fifo.next_line());
    ASSERT_EQ(0, run_command("/usr/sbin/ip", {"link", "add", "probe0", "type", "veth", "peer", "name", "probe1"}, &out))
        << out;
    ASSERT_TRUE(p->wait_for("if(probe1) found")) << p->output();
    std::string line;
    while ((line = fifo.next_line()).find("if:probe1:") == std::string::npos && line != "<timeout>")
        ;
    auto joined = entries(line);
    EXPECT_EQ(2u, joined.size()) << line;
    EXPECT_EQ(1u, joined.count("if(probe0)"));
    EXPECT_EQ(0, access((db + "/if_probe0.rrd").c_str(), F_OK));
    EXPECT_EQ(0, access((db + "/if_probe1.rrd").c_str(), F_OK));
    ASSERT_EQ(0, run_command("/usr/sbin/ip", {"link", "del", "probe0"}, &out)) << out;
    ASSERT_TRUE(p->wait_for("if(probe1) gone")) << p->output();
    while ((line = fifo.next_line()) != "127.0.0.1;" && line != "<timeout>")
        ;
    EXPECT_EQ("127.0.0.1;", line);
    p->signal(SIGTERM);
    EXPECT_EQ(1, p->wait_exit());
    for (const char *told : {"if(probe0) found", "if(probe1) found", "if(probe0) gone", "if(probe1) gone"})
        EXPECT_EQ(1, count_of(p->output(), told)) << told;
}

std::vector<uint8_t> sensor_record(const std::string &name, double value)
{
    uint8_t buf[128] = {};
    int n = pack_stream(buf, sizeof(buf), name.c_str(), STREAM_SENSOR, value);
    return std::vector<uint8_t>(buf, buf + n);
}

// 300 streams from a source whose patterns take at most the default 256:
// 256 files, 44 refused and counted. A keyed source's forgeries make none;
// its signed packet does.
TEST_F(Fleet, MaxFilesAndForgeriesMakeNoMore)
{
    std::string key = dir.write("k.key", std::string(KEY) + "\n"), keyed = dir.file("keyed");
    chmod(key.c_str(), 0600);
    auto c = colvo(colvo_conf("source 127.0.0.1 { accept { all } datadir " + db + " create step 3600 }\n"
                              "source 127.0.0.2 { key \"" + key + "\" accept { all } datadir " + keyed + " create }\n"));
    fifo_reader fifo(COLVO_FIFO);
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 300; i++)
        records.push_back(sensor_record("s" + std::to_string(i), i));
    udp_socket host("127.0.0.1"), other("127.0.0.2");
    host.send_to("127.0.0.1", port, make_packet(now(), records));
    EXPECT_EQ(256u, entries(fifo.next_line()).size());
    EXPECT_EQ(256, files_in(db));
    EXPECT_TRUE(c->wait_for("warning: source 127.0.0.1: stream sensor(s256) refused: its patterns have taken 256"))
        << c->output();
    std::string figures = figures_line();
    EXPECT_EQ(44, figure(figures, "streams_refused")) << figures;
    EXPECT_EQ(256, figure(figures, "files_made")) << figures;

    other.send_to("127.0.0.1", port, make_packet(now(), {load_record(1, 2, 3)}));
    other.send_to("127.0.0.1", port,
                  make_signed_packet(now(), {load_record(1, 2, 3)}, std::string(40, '1') + std::string(24, '2'),
                                     "0101010101010101", 1));
    ASSERT_TRUE(c->wait_for("ignored packet with bad mac from 127.0.0.2")) << c->output();
    EXPECT_NE(0, access(keyed.c_str(), F_OK)) << "no folder, no file";
    other.send_to("127.0.0.1", port, make_signed_packet(now(), {load_record(1, 2, 3)}, KEY, "0101010101010101", 1));
    EXPECT_EQ(0u, fifo.next_line().find("127.0.0.2;load::"));
    EXPECT_EQ(1, files_in(keyed));
}

// A folder of host files: one with an error on its line 4 is named with it
// and keeps the running configuration; mended, a reload takes all three.
TEST_F(Fleet, HostFilesIncludedAndReadAgain)
{
    std::string source = "# host %\nsource 127.0.0.% {\n    accept { load }\n    datadir " + db + " create\n}\n";
    auto host = [&](char n) {
        std::string text = source;
        for (size_t at; (at = text.find('%')) != std::string::npos;)
            text[at] = n;
        return dir.write("colvo.d/" + std::string(1, n) + ".conf", text);
    };
    host('1');
    host('2');
    std::string conf = colvo_conf("include \"colvo.d/*.conf\"\n");
    auto c = colvo(conf);
    std::string broken = host('3'), out;
    dir.write("colvo.d/3.conf", read_file(broken).replace(read_file(broken).find("datadir /"), 9, "datadir "));
    EXPECT_EQ(1, run_command(COLVO, {"-t", "-f", conf}, &out));
    EXPECT_NE(std::string::npos, out.find(broken + ":4: datadir path '" + db.substr(1) + "' is not absolute")) << out;
    c->signal(SIGHUP);
    EXPECT_TRUE(c->wait_for("keeping old configuration")) << c->output();
    EXPECT_NE(std::string::npos, c->output().find(broken + ":4: datadir path")) << c->output();
    host('3');
    c->signal(SIGHUP);
    EXPECT_TRUE(c->wait_for("read configuration file")) << c->output();
    fifo_reader fifo(COLVO_FIFO);
    for (const char *from : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
        udp_socket s(from);
        uint64_t t = now();
        s.send_to("127.0.0.1", port, make_packet(t, {load_record(1, 2, 3)}));
        EXPECT_EQ(std::string(from) + ";load::" + std::to_string(t) + ":1.00:2.00:3.00;", fifo.next_line());
    }
}

// cpu(40): both configurations take it, and a packet carrying it is stored.
TEST_F(Fleet, Cpu40OnBothSides)
{
    std::string out, conf = colvo_conf("source 127.0.0.1 { accept { cpu(40) } datadir " + db + " create }\n");
    EXPECT_EQ(0, run_command(COLVO, {"-t", "-f", conf}, &out)) << out;
    std::string pconf = dir.write("p.conf", "monitor { cpu(40) } stream to 127.0.0.1\n");
    EXPECT_EQ(0, run_command(PROBO, {"-t", "-f", pconf}, &out)) << out;
    auto c = colvo(conf);
    fifo_reader fifo(COLVO_FIFO);
    udp_socket s("127.0.0.1");
    uint64_t t = now();
    s.send_to("127.0.0.1", port, make_packet(t, {cpu_record("40", 12.5)}));
    EXPECT_EQ("127.0.0.1;cpu:40:" + std::to_string(t) + ":12.50:0.00:1.00:0.00:86.50;", fifo.next_line());
    EXPECT_EQ(std::to_string(t), last_update(db + "/cpu40.rrd"));
}

} // namespace
