// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-graph end to end: known values through the real colvo into
// databases made by colvo-mkrrd, then the site drawn from them.
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <vector>

#include "config.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "graph_draw.h"
#include "packet.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string COLVO = COLVO_BIN;
const std::string MKRRD = MKRRD_BIN;
const std::string GRAPH = GRAPH_BIN;
const std::string RRDTOOL = "/usr/bin/rrdtool";
const char DF_ARG[] = "<a&b>";

std::vector<uint8_t> record(int type, const char *argument, ...)
{
    uint8_t buf[512] = {}; // the packer relies on a cleared buffer
    va_list ap;
    va_start(ap, argument);
    int n = pack_stream_list(buf, sizeof(buf), argument, type, ap);
    va_end(ap);
    return std::vector<uint8_t>(buf, buf + n);
}

// Width and height from a PNG's header, or 0 x 0.
std::pair<int, int> png_size(const std::string &path)
{
    std::string data = read_file(path);
    if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
        return {0, 0};
    auto be32 = [&](size_t at) {
        return (static_cast<uint8_t>(data[at]) << 24) | (static_cast<uint8_t>(data[at + 1]) << 16) |
               (static_cast<uint8_t>(data[at + 2]) << 8) | static_cast<uint8_t>(data[at + 3]);
    };
    return {be32(16), be32(20)};
}

void set_mtime(const std::string &path, time_t t)
{
    timeval times[2] = {{t, 0}, {t, 0}};
    utimes(path.c_str(), times);
}

struct GraphSite : ::testing::Test {
    temp_dir dir;
    int port = free_udp_port();
    std::string conf, out = dir.file("www");

    void SetUp() override
    {
        mkdir(dir.file("db1").c_str(), 0755);
        mkdir(dir.file("db2").c_str(), 0755);
        conf = dir.write("colvo.conf",
                         "mux 127.0.0.1 port " + std::to_string(port) + "\n" +
                             "source 127.0.0.1 { accept { load cpu(0) if(em0) df(\"" + DF_ARG +
                             "\") } datadir " + dir.file("db1") + " }\n" +
                             "source 127.0.0.2 { accept { load mem io(ada0) } datadir " +
                             dir.file("db2") + " }\n");
        std::string text;
        ASSERT_EQ(0, run_command(MKRRD, {"-f", conf}, &text)) << text;
    }

    int graph(std::string *text) { return run_command(GRAPH, {"-d", "-f", conf, "-o", out}, text); }

    std::string fetch_line(const std::string &args)
    {
        std::string text;
        std::vector<std::string> argv;
        std::istringstream words(args);
        for (std::string w; words >> w;)
            argv.push_back(w);
        EXPECT_EQ(0, run_command(RRDTOOL, argv, &text)) << text;
        return text;
    }
};

TEST_F(GraphSite, KnownValuesDatabasesImagesAndPages)
{
    auto colvo = std::make_unique<daemon_process>(COLVO, std::vector<std::string>{"-d", "-u", "-f", conf});
    ASSERT_TRUE(colvo->wait_for("listening for incoming probo traffic")) << colvo->output();
    fifo_reader fifo(COLVO_FIFO);
    udp_socket one("127.0.0.1"), two("127.0.0.2");
    // Aligned to the 5-second step, after the databases' start.
    uint64_t t0 = (static_cast<uint64_t>(time(nullptr)) / 5 + 1) * 5;
    for (uint64_t k = 0; k < 4; k++) {
        uint64_t t = t0 + 5 * k;
        unsigned long long n = k;
        one.send_to("127.0.0.1", port,
                    make_packet(t, {record(STREAM_LOAD, "", 0.5 + k, 1.25, 2.0),
                                    record(STREAM_CPU, "0", 10.0, 0.0, 5.0, 0.0, 85.0),
                                    record(STREAM_IF, "em0", 10 * n, 20 * n, 1000 + 5000 * n,
                                           2500 * n, 0ull, 0ull, 0ull, 0ull, 0ull, 0ull),
                                    record(STREAM_DF, DF_ARG, 2000ull, 500ull, 400ull, 100ull,
                                           40ull, 0ull, 0ull)}));
        EXPECT_NE("<timeout>", fifo.next_line());
        two.send_to("127.0.0.1", port,
                    make_packet(t, {record(STREAM_LOAD, "", 3.0, 2.0, 1.0),
                                    record(STREAM_MEM, "", 1ull << 30, 2ull << 30, 3ull << 30, 0ull, 1ull << 31),
                                    record(STREAM_IO, "ada0", 4 * n, 2 * n, 0ull, 4096 * n, 0ull)}));
        EXPECT_NE("<timeout>", fifo.next_line());
    }
    ASSERT_TRUE(colvo->wait_for_count("churnbuffer used:", 8)) << colvo->output();

    // RRDtool's own reading of what was stored.
    std::string t3 = std::to_string(t0 + 15);
    std::string db1 = dir.file("db1/"), db2 = dir.file("db2/");
    EXPECT_NE(std::string::npos, fetch_line("lastupdate " + db1 + "load.rrd").find(t3 + ": 3.50 1.25 2.00"));
    EXPECT_NE(std::string::npos, fetch_line("lastupdate " + db1 + "cpu0.rrd").find(t3 + ": 10.00 0.00 5.00 0.00 85.00"));
    EXPECT_NE(std::string::npos, fetch_line("lastupdate " + db1 + "df_<a&b>.rrd").find(t3 + ": 2000 500 400 100 40 0 0"));
    EXPECT_NE(std::string::npos, fetch_line("lastupdate " + db2 + "mem.rrd").find(t3 + ": 1073741824 2147483648 3221225472 0 2147483648"));
    // The counter became a rate: 5000 bytes per 5 seconds.
    std::string rows = fetch_line("fetch " + db1 + "if_em0.rrd AVERAGE -r 5 -s " + std::to_string(t0) + " -e " + t3);
    std::regex row("\\d+: (\\S+) (\\S+) (\\S+) (\\S+)");
    int rates = 0;
    for (std::sregex_iterator m(rows.begin(), rows.end(), row), end; m != end; ++m)
        if ((*m)[3] != "-nan" && (*m)[3] != "nan") {
            EXPECT_DOUBLE_EQ(1000.0, std::stod((*m)[3])) << rows;
            EXPECT_DOUBLE_EQ(500.0, std::stod((*m)[4])) << rows;
            rates++;
        }
    EXPECT_GE(rates, 2) << rows;
    colvo->signal(SIGTERM);
    EXPECT_EQ(75, colvo->wait_exit());

    std::string text;
    ASSERT_EQ(0, graph(&text)) << text;
    const struct {
        const char *host, *stream;
        std::vector<const char *> graphs;
    } expected[] = {
        {"127.0.0.1", "load", {"load"}},
        {"127.0.0.1", "cpu_0", {"share"}},
        {"127.0.0.1", "if_em0", {"bits", "packets"}},
        {"127.0.0.1", "df__3ca_26b_3e", {"space", "inodes"}},
        {"127.0.0.2", "load", {"load"}},
        {"127.0.0.2", "mem", {"memory", "swap"}},
        {"127.0.0.2", "io_ada0", {"ops", "bytes"}},
    };
    int images = 0;
    for (const auto &e : expected)
        for (const char *g : e.graphs)
            for (const char *period : {"hour", "day", "week", "year"}) {
                std::string png = out + "/" + e.host + "/" + e.stream + "-" + g + "-" + period + ".png";
                EXPECT_EQ(std::make_pair(int(GRAPH_WIDTH), int(GRAPH_HEIGHT)), png_size(png)) << png;
                images++;
            }
    for (const char *host : {"127.0.0.1", "127.0.0.2"}) {
        EXPECT_EQ(std::make_pair(int(THUMB_WIDTH), int(THUMB_HEIGHT)), png_size(out + "/" + host + "/thumb-load.png"));
        images++;
    }
    EXPECT_EQ(std::make_pair(int(THUMB_WIDTH), int(THUMB_HEIGHT)), png_size(out + "/127.0.0.1/thumb-cpu.png"));
    struct stat st;
    EXPECT_NE(0, stat((out + "/127.0.0.2/thumb-cpu.png").c_str(), &st));
    EXPECT_NE(std::string::npos, text.find(std::to_string(images + 1) + " images drawn, 0 up to date, 0 failed")) << text;

    // Every link and image of every page is a file; configuration text is escaped.
    std::regex link("(href|src)=\"([^\"#]+)\"");
    int links = 0;
    for (const std::string page : {"index.html", "127.0.0.1/index.html", "127.0.0.2/index.html"}) {
        std::string html = read_file(out + "/" + page);
        std::string base = out + "/" + page.substr(0, page.rfind('/') + 1);
        if (page.find('/') == std::string::npos)
            base = out + "/";
        for (std::sregex_iterator m(html.begin(), html.end(), link), end; m != end; ++m, links++)
            EXPECT_EQ(0, stat((base + (*m)[2].str()).c_str(), &st)) << page << ": " << (*m)[2];
        EXPECT_EQ(std::string::npos, html.find(DF_ARG)) << page;
    }
    EXPECT_GT(links, images);
    EXPECT_NE(std::string::npos, read_file(out + "/127.0.0.1/index.html").find("<h2>df(&lt;a&amp;b&gt;)</h2>"));

    // Nothing changed: nothing drawn.
    ASSERT_EQ(0, graph(&text)) << text;
    EXPECT_NE(std::string::npos, text.find("0 images drawn, " + std::to_string(images + 1) + " up to date")) << text;

    // One database changed long after its images were drawn: only its images.
    time_t past = time(nullptr) - 2 * 366 * 86400;
    for (const std::string d : {"db1/", "db2/"})
        for (const char *f : {"load.rrd", "cpu0.rrd", "if_em0.rrd", "df_<a&b>.rrd", "mem.rrd", "io_ada0.rrd"})
            set_mtime(dir.file(d + f), past);
    std::string list;
    run_command("/usr/bin/find", {out, "-name", "*.png"}, &list);
    std::istringstream pngs(list);
    for (std::string p; std::getline(pngs, p);)
        set_mtime(p, past + 1);
    ASSERT_EQ(0, run_command(RRDTOOL, {"update", dir.file("db2/load.rrd"), std::to_string(t0 + 20) + ":1:1:1"}, &text)) << text;
    ASSERT_EQ(0, graph(&text)) << text;
    EXPECT_NE(std::string::npos, text.find("5 images drawn, " + std::to_string(images - 4) + " up to date")) << text;
    EXPECT_NE(std::string::npos, text.find("drew " + out + "/127.0.0.2/load-load-year.png")) << text;
    EXPECT_NE(std::string::npos, text.find("drew " + out + "/127.0.0.2/thumb-load.png")) << text;
}

TEST_F(GraphSite, UsageAndBadConfiguration)
{
    std::string text;
    EXPECT_EQ(64, run_command(GRAPH, {"-f", conf}, &text));
    EXPECT_NE(std::string::npos, text.find("usage: colvo-graph [-d] [-f cfgfile] -o outdir"));
    dir.write("bad.conf", "source 127.0.0.1 { accept { load } }\n");
    EXPECT_EQ(1, run_command(GRAPH, {"-f", dir.file("bad.conf"), "-o", out}, &text));
    EXPECT_NE(std::string::npos, text.find("configuration contained errors"));
    // Databases not made yet are named on the page, not drawn.
    dir.write("later.conf", "mux 127.0.0.1\nsource 127.0.0.1 { accept { load } write load in " +
                                dir.file("none.rrd") + " }\n");
    EXPECT_EQ(0, run_command(GRAPH, {"-f", dir.file("later.conf"), "-o", out}, &text)) << text;
    EXPECT_NE(std::string::npos, read_file(out + "/127.0.0.1/index.html").find("no database yet"));

    // Corrupted and truncated databases fail their images only.
    std::string good = read_file(dir.file("db1/load.rrd"));
    dir.write("cut.rrd", good.substr(0, good.size() / 2));
    dir.write("junk.rrd", "not a database");
    dir.write("bad.conf", "mux 127.0.0.1\nsource 127.0.0.1 { accept { load mem cpu(0) }\n"
                          "write load in " + dir.file("cut.rrd") + " write mem in " + dir.file("junk.rrd") +
                          " write cpu(0) in " + dir.file("db1/cpu0.rrd") + " }\n");
    EXPECT_EQ(1, run_command(GRAPH, {"-d", "-f", dir.file("bad.conf"), "-o", out}, &text)) << text;
    EXPECT_EQ(13, count_of(text, "warning: cannot draw ")) << text;
    EXPECT_NE(std::string::npos, text.find("5 images drawn, 0 up to date, 13 failed")) << text;
}

} // namespace
