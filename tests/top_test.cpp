// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-top's line parser, rate table and row text.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "top_table.h"
#include "top_view.h"
#include "topline.h"
#include "types.h"

namespace {

// The results of reading a whole line: "host" then E (entry) or S (skipped).
std::string read_all(const std::string &line, std::vector<top_entry> *entries = nullptr)
{
    topline_cursor c;
    char host[TOP_NAME_TEXT];
    if (!topline_host(&c, line.data(), line.size(), host))
        return "<no host>";
    std::string seen = host;
    top_entry e;
    for (int r; (r = topline_next(&c, &e)) != TOPLINE_END;) {
        seen += r == TOPLINE_ENTRY ? " E" : " S";
        if (r == TOPLINE_ENTRY && entries)
            entries->push_back(e);
    }
    return seen;
}

TEST(TopLine, GoodCutUnknownAndGarbage)
{
    const struct {
        std::string line, expect;
    } cases[] = {
        {"10.0.0.5;load::7:0.15:0.10:0.05;cpu:0:7:3.00:0.00:1.00:0.00:96.00;", "10.0.0.5 E E"},
        {"10.0.0.5;", "10.0.0.5"},
        {"::1;if:em0:7:1:2:3:4:5:6:7:8:9:10;", "::1 E"},
        // Cut lines: the unfinished entry is skipped, also when its count looks right.
        {"10.0.0.5;load::7:0.15:0.10:0.05;cpu:0:7:3.00:0.", "10.0.0.5 E S"},
        {"10.0.0.5;load::7:0.15:0.10:0.0", "10.0.0.5 S"},
        {"10.0.0.5", "<no host>"},
        {"", "<no host>"},
        {";load::7:1:1:1;", "<no host>"},
        {std::string(64, 'h') + ";", "<no host>"},
        {"a b;load::7:1:1:1;", "<no host>"},
        // Unknown types, the unnamed type 18 and a keyword synonym.
        {"h;gpu:0:7:1;load::7:1:1:1;", "h S E"},
        {"h;18::7:1;io2:x:7:1:2:3:4:5;", "h S S"},
        // Wrong counts, bad numbers, missing fields, long arguments.
        {"h;load::7:1:1;load::7:1:1:1:1;", "h S S"},
        {"h;load::7:nan:1:1;load::7:0x1:1:1;load::7:1e3:1:1;load::7:--1:1:1;", "h S S S S"},
        {"h;load::7:1::1;load::-7:1:1:1;load::99999999999:1:1:1;", "h S S S"},
        {"h;load;load:;load::;load::7;", "h S S S S"},
        {"h;if:" + std::string(64, 'x') + ":7:1:2:3:4:5:6:7:8:9:10;", "h S"},
        {std::string("h;load::7:1:\0:1;", 16), "h S"},
        {"h;;;\xff\xfe;", "h S S S"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expect, read_all(c.line)) << c.line;

    std::vector<top_entry> e;
    read_all("h;cpu:1:4294967295:-3.5:0:1:0.25:100;", &e);
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ(STREAM_CPU, e[0].type);
    EXPECT_STREQ("1", e[0].argument);
    EXPECT_EQ(4294967295u, e[0].timestamp);
    EXPECT_EQ(5, e[0].count);
    EXPECT_DOUBLE_EQ(-3.5, e[0].values[0]);
    EXPECT_DOUBLE_EQ(0.25, e[0].values[3]);
}

struct TopTable : ::testing::Test {
    top_table t = {};
    ~TopTable() override { top_table_free(&t); }
    void feed(const std::string &line, double now = 100) { top_table_line(&t, line.data(), line.size(), now); }
    const top_series &series(int host, int i) { return t.hosts[host].series[i]; }
    top_row row(int host, double now = 100)
    {
        top_row r;
        top_row_fill(&r, &t.hosts[host], now);
        return r;
    }
};

std::string ifline(unsigned stamp, unsigned ibytes, unsigned obytes)
{
    char text[200];
    snprintf(text, sizeof(text), "10.0.0.5;if:em0:%u:10:20:%u:%u:0:0:0:0:0:0;", stamp, ibytes, obytes);
    return text;
}

TEST_F(TopTable, RatesFromTwoLinesAndCounterResets)
{
    feed(ifline(1000, 1000, 0));
    EXPECT_TRUE(std::isnan(series_value(&series(0, 0), 2)));
    EXPECT_STREQ("-", row(0).in);
    feed(ifline(1005, 6000, 2500));
    EXPECT_DOUBLE_EQ(1000, series_value(&series(0, 0), 2));
    EXPECT_STREQ("8.00k", row(0).in);
    EXPECT_STREQ("4.00k", row(0).out);
    // A repeated timestamp replaces the sample, not the previous one.
    feed(ifline(1005, 11000, 2500));
    EXPECT_DOUBLE_EQ(2000, series_value(&series(0, 0), 2));
    // A counter that went back has no rate.
    feed(ifline(1010, 5, 2500));
    EXPECT_TRUE(std::isnan(series_value(&series(0, 0), 2)));
    EXPECT_DOUBLE_EQ(0, series_value(&series(0, 0), 3));
    EXPECT_EQ(1, t.count);
    EXPECT_EQ(1, t.hosts[0].series_count);
}

TEST_F(TopTable, RowsHostsInNameOrderAndSilence)
{
    feed("10.0.0.9;load::10:0.15:0.1:0.05;cpu:0:10:3:0:1:0:96;cpu:1:10:50:0:0:0:50;"
         "mem::10:1:1073741824:3:4:5;df:ada0:10:1000:100:50:10:5:0:0;df:ada1:10:1000:900:850:1:1:0:0;"
         "io:ada0:10:0:0:0:0:0;");
    feed("10.0.0.9;io:ada0:12:4:2:0:0:0;", 101);
    feed("10.0.0.1;gpu:0:1:1;", 101);
    ASSERT_EQ(2, t.count);
    EXPECT_STREQ("10.0.0.1", t.hosts[0].name);
    top_row r = row(1, 101);
    EXPECT_STREQ("0.15", r.load);
    EXPECT_STREQ("4/50", r.cpu);
    EXPECT_STREQ("1.00G", r.mem);
    EXPECT_STREQ("3", r.ops);
    EXPECT_STREQ("95% ada0", r.fs);
    EXPECT_STREQ("0s", r.age);
    EXPECT_EQ(1, t.skipped);
    // Interval 2 s: silent after more than 6 s.
    EXPECT_FALSE(row(1, 107).silent);
    EXPECT_TRUE(row(1, 107.5).silent);
    EXPECT_STREQ("6s", row(1, 107.5).age);
    // Without a known interval, five seconds.
    EXPECT_TRUE(row(0, 116.5).silent);
    char line[512];
    top_plain_line(line, sizeof(line), &t.hosts[1], &r);
    EXPECT_STREQ("10.0.0.9 age 0s load 0.15 cpu 4/50 mem 1.00G in - out - ops 3 fs 95% ada0", line);
}

TEST(TopView, HumanFigures)
{
    const struct {
        double v;
        int base;
        const char *text;
    } cases[] = {{0, 1000, "0"},         {7, 1000, "7"},          {0.15, 1000, "0.15"},
                 {999, 1000, "999"},     {999.6, 1000, "1.00k"}, {8000, 1000, "8.00k"},
                 {12345, 1000, "12.3k"}, {1.5e9, 1000, "1.50G"}, {1073741824, 1024, "1.00G"},
                 {-2500, 1000, "-2.50k"}, {1e30, 1000, "1000000000000E"}, {NAN, 1000, "-"}};
    for (const auto &c : cases) {
        char buf[32];
        human(buf, sizeof(buf), c.v, c.base);
        EXPECT_STREQ(c.text, buf) << c.v;
    }
}

} // namespace
