// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The real colvo binary on loopback.
#include <csignal>
#include <fstream>
#include <unistd.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <random>
#include <string>
#include <sys/stat.h>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

const std::string COLVO = COLVO_BIN;
const std::string MKRRD = MKRRD_BIN;

struct Colvo : ::testing::Test {
    temp_dir dir;
    int port = free_udp_port();
    std::string conf;

    std::string mux_line() const { return "mux 127.0.0.1 port " + std::to_string(port) + "\n"; }

    void write_conf(const std::string &body) { conf = dir.write("colvo.conf", mux_line() + body); }

    // Starts colvo -d on conf and waits until it listens.
    std::unique_ptr<daemon_process> start()
    {
        auto d = std::make_unique<daemon_process>(COLVO, std::vector<std::string>{"-d", "-u", "-f", conf});
        EXPECT_TRUE(d->wait_for("listening for incoming probo traffic")) << d->output();
        return d;
    }

    static uint64_t now() { return static_cast<uint64_t>(time(nullptr)); }
};

TEST_F(Colvo, VersionAndUsage)
{
    std::string out;
    EXPECT_EQ(64, run_command(COLVO, {"-v"}, &out));
    EXPECT_EQ("colvo version 2.90\nusage: colvo [-d] [-l] [-v] [-f cfgfile]\n", out);
    EXPECT_EQ(64, run_command(COLVO, {"-x"}, &out));
    EXPECT_NE(std::string::npos, out.find("usage: colvo [-d] [-l] [-v] [-f cfgfile]\n"));
}

TEST_F(Colvo, TestModeAndRelativeConfigPath)
{
    write_conf("source 127.0.0.1 { accept { load } }\n");
    std::string out;
    EXPECT_EQ(0, run_command(COLVO, {"-t", "-f", "colvo.conf"}, &out, dir.path()));
    EXPECT_NE(std::string::npos, out.find(dir.path() + "/colvo.conf: ok\n")) << out;
    EXPECT_EQ(0, run_command(COLVO, {"-t", "-f", conf}, &out));
    EXPECT_NE(std::string::npos, out.find(conf + ": ok\n"));
    dir.write("broken.conf", "mux 127.0.0.1\n");
    EXPECT_EQ(1, run_command(COLVO, {"-t", "-f", dir.file("broken.conf")}, &out));
    EXPECT_NE(std::string::npos, out.find("fatal: configuration contained errors; quitting"));
    EXPECT_EQ(1, run_command(COLVO, {"-t", "-f", "/nonexistent.conf"}, &out));
}

TEST_F(Colvo, ListModeWinsAndPrintsGuessedNames)
{
    write_conf("source 127.0.0.1 { accept { load if(em0) } datadir /nowhere\n"
               "write load in /elsewhere/load.rrd }\n");
    std::string out;
    EXPECT_EQ(0, run_command(COLVO, {"-t", "-l", "-f", conf}, &out));
    EXPECT_EQ("/nowhere/if_em0.rrd\n/elsewhere/load.rrd\n", out);
    // Checked, the same file fails.
    EXPECT_EQ(1, run_command(COLVO, {"-t", "-f", conf}, &out));
}

TEST_F(Colvo, PortInUseLeavesNoSocket)
{
    udp_socket squatter("127.0.0.1");
    port = squatter.port();
    write_conf("source 127.0.0.1 { accept { load } }\n");
    daemon_process d(COLVO, {"-d", "-u", "-f", conf});
    EXPECT_EQ(1, d.wait_exit());
    EXPECT_NE(std::string::npos,
              d.output().find("warning: mux address 127.0.0.1 " + std::to_string(port) +
                              " already in use"));
    EXPECT_NE(std::string::npos,
              d.output().find("fatal: no sockets could be opened for incoming probo traffic"));
}

TEST_F(Colvo, LinesForAcceptedPacketsAndDatabaseUpdates)
{
    write_conf("source 127.0.0.1 { accept { load cpu(0) } datadir " + dir.path() + " }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("created " + dir.path() + "/load.rrd"));
    // A second run leaves existing files alone.
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out));
    EXPECT_EQ("", out);

    // A plain file in the FIFO's place is replaced; with -d no pid file.
    unlink(COLVO_FIFO);
    {
        std::ofstream plain(COLVO_FIFO);
        plain << "plain file\n";
    }
    unlink(COLVO_PIDFILE);
    auto d = start();
    EXPECT_TRUE(d->wait_for("program id="));
    fifo_reader fifo(COLVO_FIFO);
    ASSERT_TRUE(fifo.is_open());
    struct stat st;
    EXPECT_NE(0, stat(COLVO_PIDFILE, &st));
    ASSERT_EQ(0, stat(COLVO_FIFO, &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(0644u, st.st_mode & 0777);

    udp_socket sender("127.0.0.1");
    uint64_t t = now();
    std::string ts = std::to_string(t);
    sender.send_to("127.0.0.1", port, make_packet(t, {load_record(0.15, 0.10, 0.05), cpu_record("0", 3)}));
    EXPECT_EQ("127.0.0.1;load::" + ts + ":0.15:0.10:0.05;cpu:0:" + ts +
                  ":3.00:0.00:1.00:0.00:96.00;",
              fifo.next_line());
    EXPECT_TRUE(d->wait_for("churnbuffer used:"));
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", dir.path() + "/load.rrd"}, &out));
    EXPECT_NE(std::string::npos, out.find(ts + ": 0.15 0.10 0.05")) << out;
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", dir.path() + "/cpu0.rrd"}, &out));
    EXPECT_NE(std::string::npos, out.find(ts + ": 3.00 0.00 1.00 0.00 96.00")) << out;

    d->signal(SIGTERM);
    EXPECT_EQ(75, d->wait_exit());
    EXPECT_NE(std::string::npos, d->output().find("received signal 15 - quitting"));
}

TEST_F(Colvo, IntakeChecksOnTheWire)
{
    write_conf("source 127.0.0.1 { accept { load } }\n");
    auto d = start();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket a("127.0.0.1"), b("127.0.0.1");
    auto good = make_packet(1, {load_record(1, 1, 1)});
    auto bad = good;
    bad[16] ^= 1;
    a.send_to("127.0.0.1", port, bad);
    EXPECT_TRUE(d->wait_for("ignored packet with bad crc from 127.0.0.1:" + std::to_string(a.port())));
    a.send_to("127.0.0.1", port, make_packet(1, {load_record(1, 1, 1)}, 3));
    EXPECT_TRUE(d->wait_for("ignored packet with unsupported version 3 from 127.0.0.1:"));
    for (size_t n = 0; n < 15; n++)
        a.send_to("127.0.0.1", port, std::vector<uint8_t>(good.begin(), good.begin() + n));
    // Anyone can send these: five per source and window, the rest counted.
    EXPECT_TRUE(d->wait_for_count("ignored packet with bad crc", 5)) << d->output();
    std::vector<std::vector<uint8_t>> many(12, load_record(2, 2, 2));
    a.send_to("127.0.0.1", port, make_packet(1, many));
    EXPECT_TRUE(d->wait_for("ignored oversized packet from 127.0.0.1:"));
    // The same host from other ports is the same source.
    a.send_to("127.0.0.1", port, good);
    b.send_to("127.0.0.1", port, good);
    EXPECT_EQ("127.0.0.1;load::1:1.00:1.00:1.00;", fifo.next_line());
    EXPECT_EQ("127.0.0.1;load::1:1.00:1.00:1.00;", fifo.next_line());
    EXPECT_EQ(5, count_of(d->output(), "ignored packet with bad crc"));
}

TEST_F(Colvo, UnknownSendersAreDropped)
{
    write_conf("source 127.0.0.2 { accept { load } }\n");
    auto d = start();
    udp_socket a("127.0.0.1");
    a.send_to("127.0.0.1", port, make_packet(1, {load_record(1, 1, 1)}));
    EXPECT_TRUE(d->wait_for("debug: ignored data from 127.0.0.1:" + std::to_string(a.port())));
}

TEST_F(Colvo, Ipv4AndIpv6SourcesOnOnePort)
{
    udp_socket probe6("::1");
    if (probe6.port() == 0)
        GTEST_SKIP() << "no IPv6 loopback";
    write_conf("source 127.0.0.1 { accept { load } }\nsource ::1 { accept { load } }\n");
    auto d = start();
    EXPECT_TRUE(d->wait_for("listening for incoming probo traffic on udp :: " + std::to_string(port)))
        << d->output();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket v4("127.0.0.1"), v6("::1");
    v6.send_to("::1", port, make_packet(6, {load_record(6, 6, 6)}));
    EXPECT_EQ("::1;load::6:6.00:6.00:6.00;", fifo.next_line());
    v4.send_to("127.0.0.1", port, make_packet(4, {load_record(4, 4, 4)}));
    EXPECT_EQ("127.0.0.1;load::4:4.00:4.00:4.00;", fifo.next_line());
}

TEST_F(Colvo, DatabaseErrorsAreReportedFiveTimesAlsoAcrossReload)
{
    std::string broken = dir.write("broken.rrd", "not a database");
    write_conf("source 127.0.0.1 { accept { load } write load in " + broken + " }\n");
    auto d = start();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket a("127.0.0.1");
    for (int i = 0; i < 7; i++) {
        a.send_to("127.0.0.1", port, make_packet(100 + static_cast<uint64_t>(i), {load_record(1, 1, 1)}));
        EXPECT_NE("<timeout>", fifo.next_line());
    }
    EXPECT_TRUE(d->wait_for_count("churnbuffer used:", 7));
    EXPECT_EQ(5, count_of(d->output(), "warning: rrd_update:"));
    EXPECT_EQ(5, count_of(d->output(), "warning: rrdupdate -- " + broken));
    EXPECT_EQ(1, count_of(d->output(), "warning: maximum rrd errors reached - will stop reporting them"));
    d->signal(SIGHUP);
    EXPECT_TRUE(d->wait_for("read configuration file '" + conf + "' successfully"));
    EXPECT_TRUE(d->wait_for_count("listening for incoming probo traffic", 2));
    a.send_to("127.0.0.1", port, make_packet(200, {load_record(1, 1, 1)}));
    EXPECT_EQ("127.0.0.1;load::200:1.00:1.00:1.00;", fifo.next_line());
    EXPECT_TRUE(d->wait_for_count("churnbuffer used:", 8));
    EXPECT_EQ(5, count_of(d->output(), "warning: rrd_update:"));
}

TEST_F(Colvo, FullFifoDropsLinesAndGoesOn)
{
    std::string streams;
    for (int i = 0; i < 40; i++)
        streams += " if(em" + std::to_string(i) + ")";
    write_conf("source 127.0.0.1 { accept {" + streams + " } }\n");
    auto d = start();
    udp_socket a("127.0.0.1");
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 40; i++)
        records.push_back(if_record("em" + std::to_string(i), 1000000000000ull));
    auto big = make_packet(1, records);
    int sent = 0;
    while (count_of(d->output(), "write is short -- no client listening?") == 0 && sent < 200) {
        a.send_to("127.0.0.1", port, big);
        sent++;
        ASSERT_TRUE(d->wait_for_count("churnbuffer used:", sent)) << sent;
    }
    ASSERT_GT(count_of(d->output(), "write is short -- no client listening?"), 0);
    a.send_to("127.0.0.1", port, big);
    EXPECT_TRUE(d->wait_for_count("churnbuffer used:", sent + 1));
    // A late reader first gets the lines still held.
    fifo_reader fifo(COLVO_FIFO);
    std::string first = fifo.next_line();
    EXPECT_EQ(0u, first.rfind("127.0.0.1;if:em0:1:", 0)) << first;
}

TEST_F(Colvo, ReloadKeepsOldConfigurationOnErrorAndGrowsTheLine)
{
    write_conf("source 127.0.0.1 { accept { load } }\n");
    auto d = start();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket a("127.0.0.1");

    dir.write("colvo.conf", mux_line() + "source 127.0.0.1 { accept { load }\n");
    d->signal(SIGHUP);
    EXPECT_TRUE(d->wait_for("new configuration contains errors; keeping old configuration"));
    a.send_to("127.0.0.1", port, make_packet(1, {load_record(1, 1, 1)}));
    EXPECT_EQ("127.0.0.1;load::1:1.00:1.00:1.00;", fifo.next_line());

    std::string streams;
    std::vector<std::vector<uint8_t>> records = {load_record(2, 2, 2)};
    std::string expect = "127.0.0.1;load::2:2.00:2.00:2.00;";
    for (int i = 0; i < 10; i++) {
        std::string name = "interface-with-a-long-name-" + std::to_string(i);
        streams += " if(" + name + ")";
        records.push_back(if_record(name, 18446744073709551000ull));
        expect += "if:" + name + ":2";
        for (int k = 0; k < 10; k++)
            expect += ":" + std::to_string(18446744073709551000ull + static_cast<unsigned>(k));
        expect += ";";
    }
    write_conf("source 127.0.0.1 { accept { load" + streams + " } }\n");
    d->signal(SIGHUP);
    EXPECT_TRUE(d->wait_for("read configuration file"));
    EXPECT_TRUE(d->wait_for_count("listening for incoming probo traffic", 2));
    a.send_to("127.0.0.1", port, make_packet(2, records));
    EXPECT_EQ(expect, fifo.next_line());
    d->signal(SIGINT);
    EXPECT_EQ(75, d->wait_exit());
    EXPECT_NE(std::string::npos, d->output().find("received signal 2 - quitting"));
}

TEST_F(Colvo, HostileDatagramsFromAnAcceptedSource)
{
    write_conf("source 127.0.0.1 { accept { load if(em0) cpu(0) } }\n");
    auto d = start();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket a("127.0.0.1");
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; round++) {
        for (int i = 0; i < 100; i++) {
            std::vector<uint8_t> junk(rng() % 300);
            for (auto &b : junk)
                b = static_cast<uint8_t>(rng());
            if (i % 2) {
                // A correct header and CRC in front of a random body.
                junk.resize(std::max<size_t>(junk.size(), 15));
                std::vector<uint8_t> body(junk.begin() + 15, junk.end());
                junk = make_packet(rng(), {body}, static_cast<int>(rng() % 3));
            }
            a.send_to("127.0.0.1", port, junk);
        }
        // Datagrams are taken in order: the marker's line closes the round.
        std::string marker = "127.0.0.1;load::" + std::to_string(1000 + round) + ":1.00:1.00:1.00;";
        a.send_to("127.0.0.1", port, make_packet(1000 + round, {load_record(1, 1, 1)}));
        std::string line;
        while ((line = fifo.next_line()) != marker && line != "<timeout>")
            d->drain();
        ASSERT_EQ(marker, line);
    }
    a.send_to("127.0.0.1", port, make_packet(77, {load_record(0.5, 1.25, 2)}));
    EXPECT_EQ("127.0.0.1;load::77:0.50:1.25:2.00;", fifo.next_line());
    d->signal(SIGTERM);
    EXPECT_EQ(75, d->wait_exit());
}

} // namespace

namespace {

// One far-future packet is shown but cannot lock the database; a packet
// repeating its stream gets one whole line; bad reloads leave colvo running.
TEST_F(Colvo, HostilePacketsAndBadReloadsSpoilNothing)
{
    write_conf("source 127.0.0.1 { accept { load } datadir " + dir.path() + " }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    auto d = start();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket a("127.0.0.1");
    uint64_t t = now();
    std::string future = std::to_string(t + 100000);
    a.send_to("127.0.0.1", port, make_packet(t + 100000, {load_record(3.75, 1, 1)}));
    EXPECT_EQ("127.0.0.1;load::" + future + ":3.75:1.00:1.00;", fifo.next_line());
    EXPECT_TRUE(d->wait_for("not storing data from 127.0.0.1: its time is "));
    a.send_to("127.0.0.1", port, make_packet(t, {load_record(1, 2, 3)}));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t) + ":1.00:2.00:3.00;", fifo.next_line());
    EXPECT_TRUE(d->wait_for("rrdupdate -- " + dir.path() + "/load.rrd " + std::to_string(t)));
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"lastupdate", dir.path() + "/load.rrd"}, &out));
    EXPECT_NE(std::string::npos, out.find(std::to_string(t) + ": 1.00 2.00 3.00")) << out;

    // The receive buffer takes four records, the line budget not three.
    std::vector<std::vector<uint8_t>> repeated(4, load_record(0.5, 0.5, 0.5));
    a.send_to("127.0.0.1", port, make_packet(t + 1, repeated));
    std::string cut = fifo.next_line();
    EXPECT_EQ(0u, cut.rfind("127.0.0.1;load::" + std::to_string(t + 1) + ":0.50:0.50:0.50;", 0)) << cut;
    EXPECT_EQ(';', cut.back());
    a.send_to("127.0.0.1", port, make_packet(t + 2, {load_record(1, 1, 1)}));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t + 2) + ":1.00:1.00:1.00;", fifo.next_line());

    const std::string bad[] = {"mux 127.0.0.1 port 70000\n", "mux " + std::string(3000, 'h') + "\n"};
    for (int i = 0; i < 2; i++) {
        dir.write("colvo.conf", bad[i]);
        d->signal(SIGHUP);
        EXPECT_TRUE(d->wait_for_count("new configuration contains errors; keeping old configuration", i + 1));
    }
    EXPECT_TRUE(d->wait_for("parse error at '70000': number too large"));
    a.send_to("127.0.0.1", port, make_packet(t + 3, {load_record(1, 1, 1)}));
    EXPECT_EQ("127.0.0.1;load::" + std::to_string(t + 3) + ":1.00:1.00:1.00;", fifo.next_line());
    EXPECT_EQ(1, run_command(COLVO, {"-t", "-f", "/dev/zero"}, &out));
    EXPECT_NE(std::string::npos, out.find("not a regular file"));
}

} // namespace

namespace {

// colvo-mkrrd makes the missing folders of a datadir (colvo's own when run
// as root), and the section's step is the databases'.
TEST_F(Colvo, MkrrdMakesTheFolderAndTakesTheSectionsStep)
{
    std::string db = dir.file("db/web1"), out;
    write_conf("source 127.0.0.1 { accept { load } datadir " + db + " step 60 }\n");
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    EXPECT_EQ(0u, out.find("made folder " + db + "\ncreated " + db + "/load.rrd: step 60 s")) << out;
    struct stat st;
    ASSERT_EQ(0, stat(db.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    const passwd *colvo_user = geteuid() == 0 ? getpwnam(COLVO_USER) : nullptr;
    EXPECT_EQ(colvo_user ? colvo_user->pw_uid : geteuid(), st.st_uid);
    EXPECT_EQ(0, run_command("/usr/bin/rrdtool", {"info", db + "/load.rrd"}, &out));
    EXPECT_NE(std::string::npos, out.find("step = 60\n")) << out;
}

} // namespace
