// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export's store: the exposition text of known lines, label
// escaping, base units and exact values, silent and configured hosts,
// OpenMetrics, colvo's figures; the figures and sources lines colvo
// writes, read back; and every exported name in the docs.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue.h"
#include "export_store.h"
#include "figures.h"

namespace {

struct Store : ::testing::Test {
    export_store s;
    Store() { export_store_init(&s); }
    ~Store() override { export_store_free(&s); }

    // A line at a monotonic time, the wall clock 1700000000 s ahead.
    void line(const std::string &text, double at = 100)
    {
        export_store_line(&s, text.data(), text.size(), at, 1700000000 + at);
    }

    std::string text(double at = 100, int format = EXPOSITION_TEXT)
    {
        exposition e = {{}, format};
        export_store_render(&s, at, &e);
        expose_end(&e);
        std::string out = e.text.data ? e.text.data : "";
        export_text_free(&e.text);
        return out;
    }

    // The sample lines of one metric, in order.
    std::string samples(const std::string &metric, double at = 100)
    {
        std::string all = text(at), out;
        for (size_t at_line = 0; at_line < all.size();) {
            size_t end = all.find('\n', at_line);
            std::string l = all.substr(at_line, end - at_line);
            if (l.compare(0, metric.size(), metric) == 0 &&
                (l[metric.size()] == '{' || l[metric.size()] == ' '))
                out += l + "\n";
            at_line = end + 1;
        }
        return out;
    }
};

TEST_F(Store, MetricsInBaseUnitsWithHelpAndType)
{
    line("10.0.0.5;load::1000:0.15:0.10:0.05;cpu:0:1000:3.00:0.00:29.00:0.00:96.00;"
         "df:ada0p2:1000:2000:1000:500:10:5:7:8;if:em0:1000:1:2:3:4:5:6:7:8:9:10;");
    line("10.0.0.6;load::1000:2.50:2.00:1.00;");
    std::string all = text();
    EXPECT_NE(std::string::npos, all.find("# HELP colvo_load_load1 load average over 1 minute\n"
                                          "# TYPE colvo_load_load1 gauge\n"
                                          "colvo_load_load1{host=\"10.0.0.5\"} 0.15\n"
                                          "colvo_load_load1{host=\"10.0.0.6\"} 2.5\n"))
        << all;
    // Percentages as ratios, 512-byte blocks as bytes, counters with _total.
    EXPECT_EQ("colvo_cpu_idle_ratio{host=\"10.0.0.5\",cpu=\"0\"} 0.96\n", samples("colvo_cpu_idle_ratio"));
    EXPECT_EQ("colvo_cpu_system_ratio{host=\"10.0.0.5\",cpu=\"0\"} 0.29\n", samples("colvo_cpu_system_ratio"));
    EXPECT_EQ("colvo_df_size_bytes{host=\"10.0.0.5\",mountpoint=\"ada0p2\"} 1024000\n",
              samples("colvo_df_size_bytes"));
    EXPECT_EQ("colvo_df_files{host=\"10.0.0.5\",mountpoint=\"ada0p2\"} 10\n", samples("colvo_df_files"));
    EXPECT_NE(std::string::npos, all.find("# TYPE colvo_if_receive_bytes_total counter\n"
                                          "colvo_if_receive_bytes_total{host=\"10.0.0.5\",interface=\"em0\"} 3\n"));
    EXPECT_NE(std::string::npos, all.find("# TYPE colvo_df_sync_writes_total counter\n"));
    // One HELP and TYPE per metric, whatever the hosts.
    size_t first = all.find("# TYPE colvo_load_load1 "), second = all.find("# TYPE colvo_load_load1 ", first + 1);
    EXPECT_EQ(std::string::npos, second);
    EXPECT_EQ("colvo_export_lines_total 2\n", samples("colvo_export_lines_total"));
    EXPECT_EQ("colvo_export_hosts 2\n", samples("colvo_export_hosts"));
    // No figures line yet: colvo's own are not made up.
    EXPECT_EQ(std::string::npos, all.find("colvo_daemon_"));
}

TEST_F(Store, LabelValuesEscaped)
{
    struct {
        std::string argument, label;
    } cases[] = {
        {"a\"b", "a\\\"b"},      {"back\\slash", "back\\\\slash"}, {"/var", "/var"},
        {"\xff" "x", "\\\\xffx"}, {"caf\xc3\xa9", "caf\xc3\xa9"},   {"\xc3", "\\\\xc3"},
    };
    for (const auto &c : cases) {
        export_store_free(&s);
        export_store_init(&s);
        line("10.0.0.5;df:" + c.argument + ":1000:1:1:1:1:1:1:1;");
        EXPECT_EQ("colvo_df_files_free{host=\"10.0.0.5\",mountpoint=\"" + c.label + "\"} 1\n",
                  samples("colvo_df_files_free"))
            << c.argument;
    }
}

TEST_F(Store, SilentHostsAndStreamsDropOut)
{
    // Interval 10 s from the timestamps: silent past 30 s.
    line("10.0.0.5;load::1000:1.00:1.00:1.00;io:ada0:1000:1:2:3:4:5;", 100);
    line("10.0.0.5;load::1010:1.00:1.00:1.00;", 110);
    // One line only: the default interval, 60 s.
    line("10.0.0.6;load::1000:2.00:2.00:2.00;", 110);
    EXPECT_EQ("colvo_load_load1{host=\"10.0.0.5\"} 1\ncolvo_load_load1{host=\"10.0.0.6\"} 2\n",
              samples("colvo_load_load1", 139));
    // The disk went silent first.
    EXPECT_EQ("", samples("colvo_io_read_bytes_total", 139));
    EXPECT_EQ("colvo_load_load1{host=\"10.0.0.6\"} 2\n", samples("colvo_load_load1", 141));
    EXPECT_EQ("", samples("colvo_load_load1", 291));
    EXPECT_EQ("colvo_export_hosts 0\n", samples("colvo_export_hosts", 291));
}

TEST_F(Store, UnreadableInputCostsOnlyItself)
{
    const char *bad[] = {"", ";;;", "10.0.0.5;gpu:0:1:1;", "10.0.0.5;load::x:1:1:1;",
                         "10.0.0.5;load::1:1:1;", "#colvo", "#other;1;received=5;"};
    for (const char *b : bad)
        line(b);
    line("10.0.0.5;load::1000:0.50:0.40:0.30;gpu:0:1:1;");
    EXPECT_EQ("colvo_load_load15{host=\"10.0.0.5\"} 0.3\n", samples("colvo_load_load15"));
    EXPECT_EQ("colvo_export_unreadable_total 8\n", samples("colvo_export_unreadable_total"));
}

TEST(Figures, LineReadBackAndExported)
{
    for (int i = 0; i < FIGURE_COUNT; i++)
        colvo_figures[i] = static_cast<uint64_t>(i) * 1000 + 1;
    colvo_figures[FIG_RECEIVED] = 18446744073709551615ull;
    char line[FIGURES_LINE_MAX];
    int length = figures_line(line, sizeof(line), 1700000000);
    std::string text(line, static_cast<size_t>(length));
    EXPECT_EQ(0u, text.find("#colvo;1700000000;received=18446744073709551615;accepted=1001;"
                            "unknown_sender=2001;bad_crc=3001;oversized=4001;version=5001;future=6001;"));
    EXPECT_EQ('\n', text.back());
    uint64_t back[FIGURE_COUNT] = {};
    ASSERT_EQ(1, figures_read(line, static_cast<size_t>(length - 1), back));
    for (int i = 0; i < FIGURE_COUNT; i++)
        EXPECT_EQ(colvo_figures[i], back[i]) << FIGURE_ROWS[i].key;
    // Keys it does not know, and broken pairs, are passed over.
    uint64_t some[FIGURE_COUNT] = {};
    std::string newer = "#colvo;1;bad_mac=4;accepted=7;received=x;=3;clients;";
    ASSERT_EQ(1, figures_read(newer.data(), newer.size(), some));
    EXPECT_EQ(7u, some[FIG_ACCEPTED]);
    EXPECT_EQ(0u, some[FIG_RECEIVED]);

    export_store s;
    export_store_init(&s);
    export_store_line(&s, line, static_cast<size_t>(length - 1), 1, 1700000001);
    exposition t = {{}, EXPOSITION_TEXT};
    export_store_render(&s, 1, &t);
    std::string out = t.text.data;
    EXPECT_NE(std::string::npos, out.find("# HELP colvo_daemon_datagrams_dropped_total datagrams colvo "
                                          "dropped since its start, by reason\n"
                                          "# TYPE colvo_daemon_datagrams_dropped_total counter\n"
                                          "colvo_daemon_datagrams_dropped_total{reason=\"unknown_sender\"} 2001\n"
                                          "colvo_daemon_datagrams_dropped_total{reason=\"bad_crc\"} 3001\n"));
    EXPECT_NE(std::string::npos, out.find("# TYPE colvo_daemon_live_clients gauge\ncolvo_daemon_live_clients 12001\n"));
    EXPECT_NE(std::string::npos, out.find("colvo_daemon_lines_dropped_total{at=\"socket\"} 11001\n"));
    export_text_free(&t.text);
    export_store_free(&s);
    for (uint64_t &f : colvo_figures)
        f = 0;
}

// Each value is the shortest text of the decimal the line holds, in the
// base unit: no binary noise from the scaling.
TEST_F(Store, ValuesAreTheExactDecimalInTheBaseUnit)
{
    struct {
        const char *entry, *metric, *sample;
    } cases[] = {
        {"proc:sshd:1000:3:1:2:3:4:41.10:4096:8192", "colvo_proc_cpu_ratio", "0.411"},
        {"cpu:1:1000:0.07:0.00:0.00:0.00:99.93", "colvo_cpu_user_ratio", "7e-04"},
        {"cpu:2:1000:100.00:0.00:0.00:0.00:0.00", "colvo_cpu_user_ratio", "1"},
        {"cpu:3:1000:655.35:0.00:0.00:0.00:0.00", "colvo_cpu_user_ratio", "6.5535"},
        {"cpu:4:1000:33.33:0.00:0.00:0.00:66.67", "colvo_cpu_idle_ratio", "0.6667"},
        {"load::1000:0.41:0.10:0.05", "colvo_load_load1", "0.41"},
        {"df:/:1000:3:0:0:0:0:0:0", "colvo_df_size_bytes", "1536"},
        {"io:ada0:1000:1:2:3:18446744073709551615:0", "colvo_io_read_bytes_total", "18446744073709551616"},
        {"proc:cron:1000:1:0:0:0:0:0.00:0:0", "colvo_proc_processes", "1"},
    };
    for (const auto &c : cases) {
        export_store_free(&s);
        export_store_init(&s);
        line(std::string("10.0.0.5;") + c.entry + ";");
        std::string got = samples(c.metric);
        EXPECT_EQ(std::string(c.sample) + "\n", got.substr(got.rfind(' ') + 1)) << c.entry;
    }
}

// colvo tells its sources in lines of their own: a host it is configured
// with keeps colvo_host_up, 0 once silent, and its last time seen, while
// its streams drop out; another silent host goes. A telling with a part
// missing changes nothing.
TEST_F(Store, ConfiguredHostsKeepTheirLiveness)
{
    line("#colvo-sources;3;0;10.0.0.5;10.0.0.6;", 0);
    line("#colvo-sources;3;2;10.0.0.7;", 0);
    line("10.0.0.5;load::1000:1.00:1.00:1.00;", 100);
    line("10.0.0.5;load::1010:1.00:1.00:1.00;", 110);
    line("10.0.0.9;load::1010:1.00:1.00:1.00;", 110);
    std::string up = samples("colvo_host_up", 139);
    for (const char *expected : {"{host=\"10.0.0.5\"} 1\n", "{host=\"10.0.0.6\"} 0\n", "{host=\"10.0.0.7\"} 0\n",
                                 "{host=\"10.0.0.9\"} 1\n"})
        EXPECT_NE(std::string::npos, up.find(expected)) << up;
    std::string seen = samples("colvo_host_last_seen_timestamp_seconds", 139);
    EXPECT_NE(std::string::npos, seen.find("{host=\"10.0.0.5\"} 1700000110\n")) << seen;
    EXPECT_NE(std::string::npos, seen.find("{host=\"10.0.0.9\"} 1700000110\n")) << seen;
    EXPECT_EQ(2, std::count(seen.begin(), seen.end(), '\n'));
    // Past three intervals (10 s from the timestamps) and the default 60 s:
    // 10.0.0.5 is down with no streams, 10.0.0.9 is gone.
    std::string later = text(300);
    EXPECT_NE(std::string::npos, later.find("colvo_host_up{host=\"10.0.0.5\"} 0\n")) << later;
    EXPECT_NE(std::string::npos, later.find("colvo_host_last_seen_timestamp_seconds{host=\"10.0.0.5\"} 1700000110\n"));
    EXPECT_EQ(std::string::npos, later.find("10.0.0.9"));
    EXPECT_EQ(std::string::npos, later.find("colvo_load_load1{"));
    EXPECT_EQ(std::string::npos, later.find("colvo_host_last_seen_timestamp_seconds{host=\"10.0.0.6\"}"));
    // A new telling, its middle part lost, keeps the old set; a whole one
    // replaces it.
    line("#colvo-sources;3;0;10.0.0.5;", 300);
    line("#colvo-sources;3;2;10.0.0.8;", 300);
    EXPECT_NE(std::string::npos, text(300).find("colvo_host_up{host=\"10.0.0.7\"} 0\n"));
    line("#colvo-sources;1;0;10.0.0.8;", 300);
    std::string now = text(300);
    EXPECT_EQ("colvo_host_up{host=\"10.0.0.8\"} 0\n", samples("colvo_host_up", 300)) << now;
}

TEST_F(Store, OpenMetricsOnRequest)
{
    line("10.0.0.5;if:em0:1000:1:2:3:4:5:6:7:8:9:10;mem::1000:1:2:3:4:5;");
    std::string om = text(100, EXPOSITION_OPENMETRICS);
    EXPECT_NE(std::string::npos, om.find("# HELP colvo_if_receive_bytes bytes received\n"
                                         "# TYPE colvo_if_receive_bytes counter\n"
                                         "# UNIT colvo_if_receive_bytes bytes\n"
                                         "colvo_if_receive_bytes_total{host=\"10.0.0.5\",interface=\"em0\"} 3\n"))
        << om;
    EXPECT_NE(std::string::npos, om.find("# TYPE colvo_mem_swap_size_bytes gauge\n"
                                         "# UNIT colvo_mem_swap_size_bytes bytes\n"
                                         "colvo_mem_swap_size_bytes{host=\"10.0.0.5\"} 5\n"));
    EXPECT_NE(std::string::npos, om.find("# TYPE colvo_export_lines counter\ncolvo_export_lines_total 1\n"));
    EXPECT_EQ(om.size() - 6, om.find("# EOF\n"));
    EXPECT_EQ(std::string::npos, text().find("# EOF"));
}

TEST(Figures, SourcesLinesReadBack)
{
    auto lines = [](const std::vector<std::string> &names) {
        std::vector<const char *> pointers;
        for (const std::string &n : names)
            pointers.push_back(n.c_str());
        int length = 0;
        char *text = sources_lines(pointers.data(), static_cast<int>(pointers.size()), &length);
        std::string out(text, static_cast<size_t>(length));
        free(text);
        return out;
    };
    EXPECT_EQ("#colvo-sources;2;0;10.0.0.5;::1;\n", lines({"10.0.0.5", "::1"}));
    EXPECT_EQ("#colvo-sources;0;0;\n", lines({}));
    // Many names take several lines, each within its limit, read back whole.
    std::vector<std::string> many;
    for (int i = 0; i < 3000; i++)
        many.push_back("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250));
    std::string text = lines(many);
    std::vector<std::string> back;
    long expected_first = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        EXPECT_GT(size_t{SOURCES_LINE_NAMES + 40}, end - at);
        long total = -1, first = -1;
        ASSERT_EQ(1, sources_read(text.data() + at, end - at, &total, &first,
                                  [](void *v, const char *name, size_t n) {
                                      static_cast<std::vector<std::string> *>(v)->emplace_back(name, n);
                                  },
                                  &back));
        EXPECT_EQ(3000, total);
        EXPECT_EQ(expected_first, first);
        expected_first = static_cast<long>(back.size());
        at = end + 1;
    }
    EXPECT_LT(1, std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(many, back);
    long total, first;
    for (const char *bad : {"#colvo-sources;", "#colvo-sources;x;0;a;", "#colvo-sources;1;", "#colvo;1;received=2;"})
        EXPECT_EQ(0, sources_read(bad, strlen(bad), &total, &first, nullptr, nullptr)) << bad;
}

// docs/datasources.md names every metric the catalogue exports.
TEST(Catalogue, EveryExportedNameIsInTheDocs)
{
    std::ifstream in(SOURCE_DIR "/docs/datasources.md");
    std::stringstream docs;
    docs << in.rdbuf();
    int named = 0;
    for (const stream_row &r : catalogue::ROWS)
        for (int d = 0; r.keyword && d < r.source_count; d++, named++) {
            std::string name = export_family(r.type, d);
            if (r.sources[d].kind == DS_COUNTER)
                name += "_total";
            EXPECT_NE(std::string::npos, docs.str().find("`" + name + "`")) << name;
        }
    EXPECT_LT(100, named);
}

} // namespace
