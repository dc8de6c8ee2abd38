// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <string>

#include "log_capture.h"
#include "probo.h"
#include "temp_dir.h"
#include "types.h"

namespace {

struct ProboConfig : ::testing::Test {
    temp_dir dir;
    log_capture log;
    mux_list muxes = {};
    std::string path;

    ~ProboConfig() override { mux_list_free(&muxes); }

    int read(const std::string &text)
    {
        mux_list_free(&muxes);
        muxes.first = nullptr;
        log.clear();
        path = dir.write("probo.conf", text);
        return read_config(&muxes, path.c_str());
    }
    std::string at(int line) const { return path + ":" + std::to_string(line) + ": "; }
};

TEST_F(ProboConfig, BasicStatement)
{
    ASSERT_EQ(1, read("monitor { cpu(0), mem } stream to 127.0.0.1"));
    mux *m = muxes.first;
    EXPECT_STREQ("127.0.0.1 2100 (5s)", m->name);
    EXPECT_STREQ("127.0.0.1", m->address);
    EXPECT_STREQ("2100", m->port);
    EXPECT_EQ(nullptr, m->from_address);
    EXPECT_EQ(5, m->interval);
    ASSERT_NE(nullptr, m->streams.first);
    EXPECT_EQ(STREAM_MEM, m->streams.first->type);
    EXPECT_STREQ("", m->streams.first->argument);
    EXPECT_EQ(STREAM_CPU, m->streams.first->next->type);
    EXPECT_STREQ("0", m->streams.first->next->argument);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(ProboConfig, IntervalForms)
{
    ASSERT_EQ(1, read("monitor { load } every second stream to 127.0.0.1"));
    EXPECT_STREQ("127.0.0.1 2100 (1s)", muxes.first->name);
    EXPECT_TRUE(log.has(path + ": monitoring set to every 1 s"));
    ASSERT_EQ(1, read("monitor { load } every 10 seconds stream to 127.0.0.1"));
    EXPECT_EQ(10, muxes.first->interval);
    ASSERT_EQ(1, read("monitor { load } EVERY 10 Seconds stream to 127.0.0.1"));
    EXPECT_EQ(10, muxes.first->interval);
    ASSERT_EQ(1, read("monitor { load } every 10 secs stream to 127.0.0.1"));
    EXPECT_EQ(10, muxes.first->interval);
    EXPECT_TRUE(log.has(at(1) + "expected 'seconds' found 'secs'")) << log.dump();
    EXPECT_EQ(0, read("monitor { load } every ten seconds stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "expected '<number> ' found 'ten'"));
    ASSERT_EQ(1, read("monitor { load } every 0 seconds stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(path + ": monitoring set to every 0 s"));
}

TEST_F(ProboConfig, StreamListErrors)
{
    EXPECT_EQ(0, read("monitor load stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "expected '{' found 'load'"));
    EXPECT_EQ(0, read("monitor { load() } stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "expected '<stream argument>' found ')'"));
    EXPECT_EQ(0, read("monitor { cpu(0 } stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "expected ')' found '}'"));
    EXPECT_EQ(0, read("monitor { banana } stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) +
                        "expected '{cpu|cpuiow|df|if|if1|io|io1|load|mem|mem1|pf|pfq|mbuf|debug|"
                        "proc|sensor|smart|load|flukso|zfs}' found 'banana'"));
    EXPECT_EQ(0, read("monitor { if(em0) if2(em0) } stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "stream if2(em0) redefined"));
    ASSERT_EQ(1, read("monitor { if(em0) if(em1) io(ada0) io1(ada0) } stream to 127.0.0.1"));
    int count = 0;
    for (stream *s = muxes.first->streams.first; s; s = s->next)
        count++;
    EXPECT_EQ(4, count);
}

TEST_F(ProboConfig, LongArgumentsAreKeptWhole)
{
    std::string a64(64, 'p');
    ASSERT_EQ(1, read("monitor { proc(" + a64 + ") } stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "argument '" + a64 +
                        "' too long for network format, will send leading 63 chars only"));
    EXPECT_EQ(a64, muxes.first->streams.first->argument);
    ASSERT_EQ(1, read("monitor { proc('" + std::string(63, 'q') + "') } stream to 127.0.0.1"));
    EXPECT_FALSE(log.contains("too long"));
}

TEST_F(ProboConfig, StatementStructure)
{
    EXPECT_EQ(0, read("monitor { load } to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "expected 'stream' found 'to'"));
    EXPECT_EQ(0, read("load"));
    EXPECT_TRUE(log.has(at(1) + "expected 'monitor' found 'load'"));
    EXPECT_EQ(0, read("monitor { load } stream to no-such-host.invalid\n"));
    EXPECT_TRUE(log.has(at(2) + "could not resolve 'no-such-host.invalid'")) << log.dump();
    EXPECT_EQ(0, read("monitor { } stream to 127.0.0.1"));
    EXPECT_TRUE(log.has(path + ": no monitors selected for mux '127.0.0.1 2100 (5s)'"));
    EXPECT_EQ(0, read("monitor { load } stream to 127.0.0.1 monitor { mem } stream to 127.0.0.1"));
    EXPECT_TRUE(log.contains("monitored data for host '127.0.0.1 2100 (5s)' has already been "
                             "specified"));
}

TEST_F(ProboConfig, EmptyFilesSucceedEmpty)
{
    ASSERT_EQ(1, read(""));
    EXPECT_EQ(nullptr, muxes.first);
    ASSERT_EQ(1, read("# nothing but a comment\n"));
    EXPECT_EQ(0, read_config(&muxes, "/nonexistent/probo.conf"));
}

TEST_F(ProboConfig, PortForms)
{
    const char *forms[][2] = {{"127.0.0.1", "2100"},
                              {"127.0.0.1 port 2200", "2200"},
                              {"127.0.0.1, 2201", "2201"},
                              {"127.0.0.1 2202", "2202"},
                              {"localhost", "2100"}};
    for (auto &f : forms) {
        ASSERT_EQ(1, read(std::string("monitor { load } stream to ") + f[0])) << f[0];
        EXPECT_STREQ(f[1], muxes.first->port) << f[0];
        EXPECT_STREQ("127.0.0.1", muxes.first->address);
    }
    // "to" is optional, and "port" without a number hands its token on.
    ASSERT_EQ(1, read("monitor { load } stream 127.0.0.1 port monitor { mem } stream to "
                      "127.0.0.1 3000"));
    EXPECT_STREQ("127.0.0.1 3000 (5s)", muxes.first->name);
    EXPECT_STREQ("127.0.0.1 2100 (5s)", muxes.first->next->name);
}

TEST_F(ProboConfig, FromAddress)
{
    ASSERT_EQ(1, read("monitor { load } stream from localhost to 127.0.0.1"));
    EXPECT_STREQ("localhost", muxes.first->from_address);
    ASSERT_EQ(1, read("monitor { load } stream from 192.0.2.1 127.0.0.1"));
    EXPECT_STREQ("192.0.2.1", muxes.first->from_address);
    EXPECT_EQ(0, read("monitor { load } stream from no-such-host.invalid to 127.0.0.1"));
    EXPECT_TRUE(log.has(at(1) + "could not resolve 'no-such-host.invalid'"));
}

TEST_F(ProboConfig, TwoIntervalsToOneHostAreTwoMuxes)
{
    ASSERT_EQ(1, read("monitor { load } every 10 seconds stream to 127.0.0.1\n"
                      "monitor { load } every 15 seconds stream to 127.0.0.1\n"));
    EXPECT_STREQ("127.0.0.1 2100 (15s)", muxes.first->name);
    EXPECT_STREQ("127.0.0.1 2100 (10s)", muxes.first->next->name);
}

TEST_F(ProboConfig, Ipv6Hosts)
{
    ASSERT_EQ(1, read("monitor { load } stream to ::1 port 2300"));
    EXPECT_STREQ("::1 2300 (5s)", muxes.first->name);
}

} // namespace

namespace {

TEST_F(ProboConfig, KeyEndsAStatement)
{
    std::string key = dir.write("probo.key", std::string(64, 'a') + "\n");
    chmod(key.c_str(), 0600);
    std::string open_key = dir.write("open.key", std::string(64, 'a'));
    chmod(open_key.c_str(), 0644);
    ASSERT_EQ(1, read("monitor { load } stream to 127.0.0.1 port 2101 key \"" + key +
                      "\"\nmonitor { mem } every 10 seconds stream to 127.0.0.1 key " + key +
                      "\nmonitor { cpu(0) } stream to 127.0.0.1 port 2102"));
    const mux *plain = muxes.first, *no_port = plain->next, *with_port = no_port->next;
    EXPECT_STREQ("127.0.0.1 2102 (5s)", plain->name);
    EXPECT_EQ(nullptr, plain->key);
    EXPECT_STREQ("127.0.0.1 2100 (10s)", no_port->name);
    EXPECT_NE(nullptr, no_port->key);
    EXPECT_STREQ("127.0.0.1 2101 (5s)", with_port->name);
    EXPECT_NE(nullptr, with_port->key);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_EQ(0, read("monitor { load } stream to 127.0.0.1 key"));
    EXPECT_TRUE(log.has(at(1) + "expected '<key file>' found 'key'")) << log.dump();
    EXPECT_EQ(0, read("monitor { load } stream to 127.0.0.1 key \"" + open_key + "\""));
    EXPECT_TRUE(log.has(at(1) + "key file '" + open_key +
                        "' is open to group or others (mode 644): make it 0600 or 0400"))
        << log.dump();
}

} // namespace

namespace {

// The mux's streams and patterns as the braces would write them, in list
// order.
std::string written(const mux *m)
{
    std::string text;
    for (const stream *s = m->streams.first; s; s = s->next)
        text += std::string(stream_type_name(s->type)) + "(" + s->argument + ") ";
    for (const stream_pattern *p = m->patterns.first; p; p = p->next) {
        text += std::string(stream_type_name(p->type)) + "(*";
        for (int i = 0; i < p->exclusion_count; i++)
            text += std::string(" !") + p->exclusions[i];
        text += ") ";
    }
    return text;
}

TEST_F(ProboConfig, PatternsAndAll)
{
    const struct {
        const char *braces, *read, *error;
    } cases[] = {
        {"if(*)", "if(*) ", nullptr},
        {"if(* !lo0, !pflog*) cpu(*)", "cpu(*) if(* !lo0 !pflog*) ", nullptr},
        {"if(* ! \"my if\")", "if(* !my if) ", nullptr},
        // Quoted, or of a type nothing lists, * is a name as it always was.
        {"if(\"*\") proc(*)", "proc(*) if(*) ", nullptr},
        {"proc(=colvo)", "proc(=colvo) ", nullptr},
        // all: what needs no name, and every type found; named types as named.
        {"all", "load() mem() zfs(*) smart(*) if(*) df(*) io(*) sensor(*) mbuf(*) cpu(*) ", nullptr},
        {"if(* !lo0) all cpu(1)",
         "load() mem() cpu(1) zfs(*) smart(*) df(*) io(*) sensor(*) mbuf(*) if(* !lo0) ", nullptr},
        {"if(*) if(* !lo0)", nullptr, ":1: stream if(*) redefined"},
        {"if(* lo0)", nullptr, ":1: expected '!<name>|)' found 'lo0'"},
        {"if(* !)", nullptr, ":1: expected '<name>' found ')'"},
        {"proc(* !x)", nullptr, ":1: expected ')' found '!x'"},
    };
    for (const auto &c : cases) {
        int ok = read(std::string("monitor { ") + c.braces + " } stream to 127.0.0.1");
        if (c.read) {
            ASSERT_EQ(1, ok) << c.braces << log.dump();
            EXPECT_EQ(c.read, written(muxes.first)) << c.braces;
        } else {
            EXPECT_EQ(0, ok) << c.braces;
            EXPECT_TRUE(log.contains(path + c.error)) << c.braces << log.dump();
        }
    }
}

TEST_F(ProboConfig, DiscoverPeriodAndIncludes)
{
    int period = 0;
    dir.write("probo.d/b.conf", "monitor { mem } stream to 127.0.0.2\n");
    dir.write("probo.d/a.conf", "discover every 10 seconds\nmonitor { load } stream to 127.0.0.1\n");
    path = dir.write("probo.conf", "include \"probo.d/*.conf\"\nmonitor { if(*) } stream to 127.0.0.3\n");
    ASSERT_EQ(1, read_config(&muxes, path.c_str(), &period)) << log.dump();
    EXPECT_EQ(10, period);
    // Read in sorted order, then the rest of the including file.
    EXPECT_STREQ("127.0.0.3 2100 (5s)", muxes.first->name);
    EXPECT_STREQ("127.0.0.2 2100 (5s)", muxes.first->next->name);
    EXPECT_STREQ("127.0.0.1 2100 (5s)", muxes.first->next->next->name);
    EXPECT_EQ(0, read("discover every 0 seconds"));
    EXPECT_TRUE(log.has(at(1) + "discover every 0 seconds: at least every second")) << log.dump();
}

} // namespace
