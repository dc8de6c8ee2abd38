// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The sensor, zfs, pf and mbuf streams end to end: the real monitor reading
// a fixture tree sends them, colvo stores them in databases colvo-mkrrd
// made, colvo-export shows them and promtool passes its text. On this
// host, with no packet filter and no allocator statistics, pf and mbuf
// are told once and the rest is sent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "kernel_fixtures.h"
#include "packet.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO_FIXTURE = PROBO_FIXTURE_BIN, PROBO = PROBO_BIN, COLVO = COLVO_BIN,
                  MKRRD = MKRRD_BIN, EXPORT = EXPORT_BIN, GRAPH = GRAPH_BIN;
const std::string RRDTOOL = "/usr/bin/rrdtool", PROMTOOL = "/usr/bin/promtool",
                  CURL = "/usr/bin/curl";

std::string monitor_conf(const temp_dir &dir, const std::string &streams, int port)
{
    return dir.write("probo.conf", "monitor { " + streams + " } every second stream to 127.0.0.1 port " +
                                       std::to_string(port) + "\n");
}

TEST(KernelFiguresEndToEnd, ProboSendsColvoStoresTheExporterShows)
{
    for (const std::string &tool : {RRDTOOL, PROMTOOL, CURL})
        if (access(tool.c_str(), X_OK) != 0)
            GTEST_SKIP() << "no " << tool << " (scripts/deps.sh installs it)";
    temp_dir dir, tree;
    write_kernel_fixtures(tree);
    int port = free_udp_port();
    const std::string streams = "sensor(tz0) sensor(cpu0) sensor(tz9) zfs pf mbuf";
    std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                   "\nsource 127.0.0.1 { accept { " + streams +
                                                   " } datadir " + dir.path() + " }\n");
    std::string out;
    ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &out)) << out;
    // Temperatures and sizes as levels, the ARC's and pf's counts as counters.
    ASSERT_EQ(0, run_command(RRDTOOL, {"info", dir.file("zfs.rrd")}, &out));
    EXPECT_NE(std::string::npos, out.find("ds[size].type = \"GAUGE\"")) << out;
    EXPECT_NE(std::string::npos, out.find("ds[hits].type = \"DERIVE\""));
    ASSERT_EQ(0, run_command(RRDTOOL, {"info", dir.file("pf.rrd")}, &out));
    EXPECT_NE(std::string::npos, out.find("ds[states].type = \"GAUGE\"")) << out;
    EXPECT_NE(std::string::npos, out.find("ds[match].type = \"DERIVE\""));
    ASSERT_EQ(0, run_command(RRDTOOL, {"info", dir.file("sensor_tz0.rrd")}, &out));
    EXPECT_NE(std::string::npos, out.find("ds[value].type = \"GAUGE\"")) << out;

    daemon_process colvo(COLVO, {"-d", "-u", "-f", conf});
    ASSERT_TRUE(colvo.wait_for("listening for incoming probo traffic")) << colvo.output();
    fifo_reader fifo(COLVO_FIFO);
    int http = free_tcp_port();
    daemon_process exporter(EXPORT, {"-d", "-u", "-l", "127.0.0.1:" + std::to_string(http), "-s", COLVO_SOCKET});
    ASSERT_TRUE(exporter.wait_for("connected to " + std::string(COLVO_SOCKET))) << exporter.output();

    setenv("PROBO_FIXTURE_ROOT", tree.path().c_str(), 1);
    daemon_process probo(PROBO_FIXTURE, {"-d", "-u", "-f", monitor_conf(dir, streams, port)});
    unsetenv("PROBO_FIXTURE_ROOT");
    std::string line = fifo.next_line();
    probo.signal(SIGTERM);
    EXPECT_EQ(1, probo.wait_exit());
    // Every stream but the missing sensor, told of once at start (beside
    // the word on the short interval).
    EXPECT_EQ(2, count_of(probo.output(), "warning: ")) << probo.output();
    EXPECT_EQ(1, count_of(probo.output(), "warning: sensor(tz9): no sysctl "
                                          "hw.acpi.thermal.tz9.temperature; sending nothing until it appears"));
    size_t pf = line.find(";pf::");
    ASSERT_NE(std::string::npos, pf) << line;
    std::string t = line.substr(pf + 5, line.find(':', pf + 5) - pf - 5);
    for (const std::string &e :
         {";sensor:tz0:" + t + ":45.000000;", ";sensor:cpu0:" + t + ":52.000000;",
          ";pf::" + t + ":1500:12:900000:40000:38500:100:201:302:403:504:605:706:807:908:1009:1110:"
                        "1211:1312:1413:1514:1615:7;",
          ";mbuf::" + t + ":1200:250:1450:450:190:640:250000:60:0:2:10:3:77:11:222;"})
        EXPECT_NE(std::string::npos, line.find(e)) << e << "\n" << line;
    EXPECT_EQ(std::string::npos, line.find("tz9")) << line;
    // The zfs record travels last, after every type an older colvo knows.
    EXPECT_EQ("zfs::" + t + ":4294967296:8589934592:1073741824:17179869184:1610612736:2147483648:"
                            "536870912:1234567:89012:1000000:50000:30000:25000:34359738368:700:300:"
                            "4242:3221225472:6442450944;",
              line.substr(line.rfind(";zfs:") + 1));

    // Stored, each in its database.
    EXPECT_TRUE(colvo.wait_for("rrdupdate -- " + dir.file("zfs.rrd") + " " + t)) << colvo.output();
    for (std::string db : {"sensor_tz0", "sensor_cpu0", "zfs", "pf", "mbuf"}) {
        ASSERT_EQ(0, run_command(RRDTOOL, {"lastupdate", dir.file(db + ".rrd")}, &out)) << db;
        EXPECT_NE(std::string::npos, out.find(t + ": ")) << db << out;
    }
    ASSERT_EQ(0, run_command(RRDTOOL, {"lastupdate", dir.file("sensor_tz0.rrd")}, &out));
    EXPECT_NE(std::string::npos, out.find(t + ": 45.000000")) << out;
    // Drawn, every graph the catalogue gives them: one of each sensor
    // (tz9's database too, empty), three each of zfs, pf and mbuf.
    EXPECT_EQ(0, run_command(GRAPH, {"-d", "-f", conf, "-o", dir.file("www")}, &out)) << out;
    std::string images;
    run_command("/bin/sh", {"-c", "cd " + dir.file("www") + " && ls -R | grep -c 'hour.png$'"}, &images);
    EXPECT_EQ("12\n", images) << out;

    // Shown by the exporter, in base units, and promtool passes the text.
    std::string url = "http://127.0.0.1:" + std::to_string(http) + "/metrics", text;
    for (int i = 0; i < 250 && text.find("colvo_zfs_") == std::string::npos; i++) {
        exporter.drain();
        run_command(CURL, {"-s", url}, &text);
        if (text.find("colvo_zfs_") == std::string::npos)
            usleep(20000); // the exporter takes the line from colvo on its own time
    }
    for (const char *sample :
         {"colvo_sensor_value_celsius{host=\"127.0.0.1\",sensor=\"tz0\"} 45\n",
          "colvo_zfs_size_bytes{host=\"127.0.0.1\"} 4294967296\n",
          "colvo_zfs_hits_total{host=\"127.0.0.1\"} 1234567\n",
          "colvo_pf_states{host=\"127.0.0.1\"} 1500\n",
          "colvo_pf_overload_total{host=\"127.0.0.1\"} 7\n",
          "colvo_mbuf_clusters_max{host=\"127.0.0.1\"} 250000\n"})
        EXPECT_NE(std::string::npos, text.find(sample)) << sample << text;
    std::string scraped = dir.write("metrics.txt", text);
    EXPECT_EQ(0, run_command("/bin/sh", {"-c", PROMTOOL + " check metrics < " + scraped}, &out))
        << out << text;
}

TEST(KernelFiguresOnThisHost, PfAndMbufAreToldOnceAndTheRestIsSent)
{
    if (access("/dev/pf", F_OK) == 0)
        GTEST_SKIP() << "this host has a packet filter device";
    temp_dir dir;
    udp_socket listener("127.0.0.1");
    daemon_process probo(PROBO, {"-d", "-u", "-f", monitor_conf(dir, "load pf mbuf", listener.port())});
    for (int i = 0; i < 2; i++) {
        std::vector<uint8_t> p = listener.receive();
        // The header and the load record alone.
        ASSERT_EQ(PACKET_HEADER_SIZE + 2 + 6u, p.size()) << probo.output();
        EXPECT_EQ(STREAM_LOAD, p[PACKET_HEADER_SIZE]);
    }
    probo.signal(SIGTERM);
    EXPECT_EQ(1, probo.wait_exit());
    EXPECT_EQ(1, count_of(probo.output(), "warning: pf not available on this host: could not open "
                                          "\"/dev/pf\", No such file or directory; sending nothing\n"))
        << probo.output();
    EXPECT_EQ(1, count_of(probo.output(), "warning: mbuf not available on this host: no sysctl "
                                          "vm.zone_stats; sending nothing\n"));
    // And the word on the short interval.
    EXPECT_EQ(3, count_of(probo.output(), "warning: "));
}

} // namespace
