// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-export's store: the exposition text of known lines, label
// escaping, base units, silent hosts, colvo's figures; and the figures
// line colvo writes, read back.
#include <gtest/gtest.h>
#include <string>

#include "export_store.h"
#include "figures.h"

namespace {

struct Store : ::testing::Test {
    export_store s;
    Store() { export_store_init(&s); }
    ~Store() override { export_store_free(&s); }

    void line(const std::string &text, double at = 100) { export_store_line(&s, text.data(), text.size(), at); }

    std::string text(double at = 100)
    {
        export_text t = {};
        export_store_render(&s, at, &t);
        std::string out = t.data ? t.data : "";
        export_text_free(&t);
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
    EXPECT_EQ("colvo_cpu_idle{host=\"10.0.0.5\",arg=\"0\"} 0.96\n", samples("colvo_cpu_idle"));
    EXPECT_EQ("colvo_cpu_system{host=\"10.0.0.5\",arg=\"0\"} 0.29\n", samples("colvo_cpu_system"));
    EXPECT_EQ("colvo_df_blocks{host=\"10.0.0.5\",arg=\"ada0p2\"} 1024000\n", samples("colvo_df_blocks"));
    EXPECT_EQ("colvo_df_files{host=\"10.0.0.5\",arg=\"ada0p2\"} 10\n", samples("colvo_df_files"));
    EXPECT_NE(std::string::npos, all.find("# TYPE colvo_if_ibytes_total counter\n"
                                          "colvo_if_ibytes_total{host=\"10.0.0.5\",arg=\"em0\"} 3\n"));
    EXPECT_NE(std::string::npos, all.find("# TYPE colvo_df_syncwrites_total counter\n"));
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
        EXPECT_EQ("colvo_df_ffree{host=\"10.0.0.5\",arg=\"" + c.label + "\"} 1\n", samples("colvo_df_ffree"))
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
    EXPECT_EQ("", samples("colvo_io_rbytes_total", 139));
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
    export_store_line(&s, line, static_cast<size_t>(length - 1), 1);
    export_text t = {};
    export_store_render(&s, 1, &t);
    std::string out = t.data;
    EXPECT_NE(std::string::npos, out.find("# HELP colvo_daemon_datagrams_dropped_total datagrams colvo "
                                          "dropped since its start, by reason\n"
                                          "# TYPE colvo_daemon_datagrams_dropped_total counter\n"
                                          "colvo_daemon_datagrams_dropped_total{reason=\"unknown_sender\"} 2001\n"
                                          "colvo_daemon_datagrams_dropped_total{reason=\"bad_crc\"} 3001\n"));
    EXPECT_NE(std::string::npos, out.find("# TYPE colvo_daemon_live_clients gauge\ncolvo_daemon_live_clients 12001\n"));
    EXPECT_NE(std::string::npos, out.find("colvo_daemon_lines_dropped_total{at=\"socket\"} 11001\n"));
    export_text_free(&t);
    export_store_free(&s);
    for (uint64_t &f : colvo_figures)
        f = 0;
}

} // namespace
