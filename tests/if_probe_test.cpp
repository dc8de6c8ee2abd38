// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The if probe against the stand-in pointed at fixture trees of
// /proc/net/dev.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "codec.h"
#include "error.h"
#include "log_capture.h"
#include "probe.h"
#include "standin.h"
#include "temp_dir.h"

namespace {

const char HEADING[] = "Inter-|   Receive   |  Transmit\n face |bytes    packets errs drop fifo "
                       "frame compressed multicast|bytes    packets errs drop fifo colls\n";

// An interface line whose sixteen columns are base + 0 to base + 15.
std::string line(const std::string &name, uint64_t base)
{
    std::string text = "  " + name + ":";
    for (uint64_t i = 0; i < 16; i++)
        text += " " + std::to_string(base + i);
    return text + "\n";
}

// The ten counters in sending order, from those columns; none when base is 0.
std::vector<uint64_t> expected(uint64_t base)
{
    if (base == 0)
        return {};
    return {base + 1, base + 9, base + 0, base + 8, base + 7, 0, base + 2, base + 10, base + 13,
            base + 3};
}

struct IfProbe : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    stream_list streams = {};

    ~IfProbe() override
    {
        standin_set_root("");
        stream_list_free(&streams);
    }

    void measure(const std::string &lines)
    {
        fixture.write("proc/net/dev", HEADING + lines);
        standin_set_root(fixture.path().c_str());
        probe_table[STREAM_IF].sample();
    }

    stream *start(const char *argument, int type = STREAM_IF)
    {
        stream *s = stream_new(type, argument);
        s->next = streams.first;
        streams.first = s;
        probe_table[type].start(s);
        return s;
    }

    // The counters of the stream's record, checked as type 13.
    std::vector<uint64_t> packed(stream *s)
    {
        uint8_t buf[128] = {};
        int n = probe_table[s->type].pack(buf, sizeof(buf), s);
        size_t at = 2 + strlen(s->argument);
        std::vector<uint64_t> v;
        if (n > 0) {
            EXPECT_EQ(at + 80, static_cast<size_t>(n));
            EXPECT_EQ(STREAM_IF, buf[0]);
        }
        for (int i = 0; n > 0 && i < 10; i++)
            v.push_back(decode_fixed64(buf + at + 8 * i));
        return v;
    }
};

TEST_F(IfProbe, ExactNamesOnly)
{
    measure(line("lo", 100) + line("em0:1", 200) + line("em0", 300) + line("em01", 400));
    const struct {
        const char *argument;
        int type;
        uint64_t base;
    } cases[] = {
        {"em0", STREAM_IF, 300}, {"em0:1", STREAM_IF, 200}, {"em01", STREAM_IF1, 400},
        {"lo", STREAM_IF1, 100}, {"em", STREAM_IF, 0},      {"EM0", STREAM_IF, 0},
        {"em0 ", STREAM_IF, 0},  {"", STREAM_IF, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(expected(c.base), packed(start(c.argument, c.type))) << c.argument;
    EXPECT_TRUE(log.has("started module if(em0:1)"));
}

// Each measurement's snapshot decides, with no restart or reload.
TEST_F(IfProbe, SnapshotFollowsTheInterfaces)
{
    stream *tun = start("tun0"), *em4 = start("em4");
    const struct {
        std::string lines;
        uint64_t tun, em4;
    } ticks[] = {
        {line("lo", 1) + line("em1", 2) + line("em2", 3) + line("em3", 4) + line("em4", 5), 0, 5},
        {line("lo", 1) + line("tun0", 70) + line("em4", 6), 70, 6},
        // Fewer rows: the elements past the count are not searched.
        {line("lo", 1) + line("tun0", 71), 71, 0},
        // A row that cannot be read holds no interface, not an earlier one.
        {line("lo", 1) + line("tun0", 72) + "  em4: 1 2 3\n", 72, 0},
    };
    for (const auto &t : ticks) {
        measure(t.lines);
        EXPECT_EQ(expected(t.tun), packed(tun)) << t.lines;
        EXPECT_EQ(expected(t.em4), packed(em4)) << t.lines;
    }
    // No count: nothing is sent, silently.
    standin_set_root((fixture.path() + "/none").c_str());
    probe_table[STREAM_IF].sample();
    EXPECT_TRUE(packed(tun).empty());
    EXPECT_EQ(2u, log.lines().size()) << log.dump();

    daemonized = 0;
    std::string many;
    for (int i = 0; i <= 10000; i++)
        many += "veth" + std::to_string(i) + ": 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    EXPECT_EXIT(measure(many), ::testing::ExitedWithCode(1),
                "fatal: \\.\\./platform/FreeBSD/sm_if\\.cpp:108: dynamic object limit \\(10000\\) "
                "exceeded for ifmibdata structures");
}

} // namespace
