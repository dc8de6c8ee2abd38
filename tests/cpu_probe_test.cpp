// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The cpu probe: the share arithmetic, and the probe against the stand-in
// pointed at fixture trees of /proc/stat.
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "codec.h"
#include "error.h"
#include "log_capture.h"
#include "probes.h"
#include "standin.h"
#include "temp_dir.h"
#include "types.h"

namespace {

TEST(CpuPercentages, SharesOfTheSummedChange)
{
    struct {
        int count;
        std::vector<int64_t> previous, current, shares;
        int32_t total;
    } cases[] = {
        {5, {7, 7, 7, 7, 7}, {7, 7, 7, 7, 7}, {0, 0, 0, 0, 0}, 1},
        // The wrapped change, INT64_MAX - 60, dominates; the total is cut to 32 bits.
        {5, {100, 0, 0, 0, 0}, {40, 1, 0, 0, 0}, {1000, 0, 0, 0, 0}, -60},
        {5, {0, 0, 0, 0, 0}, {1, 0, 1, 0, 1}, {333, 0, 333, 0, 333}, 3},
        {2, {10, 20}, {11, 21}, {500, 500}, 2},
        {2, {0, 0}, {1, 15}, {63, 938}, 16}, // 62.5 and 937.5 round up
    };
    for (auto &c : cases) {
        std::vector<int64_t> shares(c.count), differences(c.count);
        EXPECT_EQ(c.total, percentages(c.count, shares.data(), c.current.data(),
                                       c.previous.data(), differences.data()));
        EXPECT_EQ(c.shares, shares);
        EXPECT_EQ(c.current, c.previous);
    }
}

// Linux's columns of a cpuN line: user nice system idle iowait irq softirq steal.
using columns = std::vector<uint64_t>;
const columns BOOT = {5000, 700, 9000, 80000, 300, 40, 60, 10};

struct CpuProbe : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    stream_list streams = {};

    ~CpuProbe() override
    {
        standin_set_root("");
        stream_list_free(&streams);
    }

    // cpuN lines: BOOT plus each CPU's change.
    void stat(const std::map<int, columns> &cpus)
    {
        std::string text = "cpu  1 2 3 4 5 6 7 8 0 0\n";
        for (const auto &cpu : cpus) {
            text += "cpu" + std::to_string(cpu.first);
            for (size_t i = 0; i < BOOT.size(); i++)
                text += " " + std::to_string(BOOT[i] + (i < cpu.second.size() ? cpu.second[i] : 0));
            text += " 0 0\n";
        }
        fixture.write("proc/stat", text + "intr 12 0 3\nctxt 99\n");
        standin_set_root(fixture.path().c_str());
    }

    stream *start(const char *argument)
    {
        stream *s = stream_new(STREAM_CPU, argument);
        s->next = streams.first;
        streams.first = s;
        cpu_start(s);
        return s;
    }

    // A measurement of this tree: what the next stream is primed with.
    void boot(const std::map<int, columns> &cpus)
    {
        stat(cpus);
        start("0");
        cpu_sample();
    }

    // The five values as they travel; empty when the stream sends nothing.
    std::vector<uint16_t> packed(stream *s)
    {
        uint8_t buf[64] = {};
        int n = cpu_pack(buf, sizeof(buf), s);
        size_t at = 2 + strlen(s->argument);
        std::vector<uint16_t> v;
        for (int i = 0; n > 0 && i < 5; i++)
            v.push_back(decode_fixed16(buf + at + 2 * i));
        return v;
    }
};

// The first packet covers the first interval, not the time since boot;
// Linux's columns fold into FreeBSD's states; per-mille shares travel as
// hundredths of a percent, truncated.
TEST_F(CpuProbe, SharesOfTheIntervalOnTheWire)
{
    struct {
        columns delta;
        std::vector<uint16_t> wire;
    } cases[] = {
        {{1, 0, 1, 1, 0, 0, 0, 0}, {3329, 0, 3329, 0, 3329}},
        {{1, 0, 0, 1, 0, 0, 0, 0}, {5000, 0, 0, 0, 5000}},
        {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        // irq and softirq are interrupt time, iowait is idle, steal is left out.
        {{0, 2, 0, 1, 1, 3, 1, 50}, {0, 2500, 0, 5000, 2500}},
    };
    for (const auto &c : cases) {
        boot({{0, {}}});
        stream *s = start("0");
        stat({{0, c.delta}});
        cpu_sample();
        EXPECT_EQ(c.wire, packed(s));
    }
    // Packing reads nothing: two streams share the measurement's one read.
    boot({{0, {}}, {1, {}}});
    stream *a = start("0"), *b = start("1");
    stat({{0, {1}}, {1, {0, 0, 1}}});
    cpu_sample();
    stat({{0, {}}, {1, {}}});
    EXPECT_EQ((std::vector<uint16_t>{10000, 0, 0, 0, 0}), packed(a));
    EXPECT_EQ((std::vector<uint16_t>{0, 0, 10000, 0, 0}), packed(b));
    EXPECT_TRUE(log.has("started module cpu(1)"));
    EXPECT_FALSE(log.contains("sysctl")) << log.dump();
}

// An offline CPU below the highest reads as zeros; one beyond the kernel's
// array warns and sends nothing until the array grows to it, far past the
// 51 CPUs of a 2048-byte buffer.
TEST_F(CpuProbe, CpusTheKernelDoesNotReport)
{
    boot({{0, {}}, {2, {}}});
    EXPECT_EQ((std::vector<uint16_t>{0, 0, 0, 0, 0}), packed(start("1")));
    stream *high = start("99");
    start("255");
    EXPECT_TRUE(packed(high).empty());
    EXPECT_EQ(2, log.count("cpu(99): not in sysctl buffer")) << log.dump();
    EXPECT_EQ(1, log.count("cpu(255): not in sysctl buffer"));
    std::map<int, columns> many;
    for (int i = 0; i < 100; i++)
        many[i] = {};
    stat(many);
    cpu_sample();
    EXPECT_EQ(5u, packed(high).size());
    EXPECT_EQ(2, log.count("cpu(99): not in sysctl buffer"));
}

TEST_F(CpuProbe, BadNumbersEndStartUp)
{
    daemonized = 0;
    stat({{0, {}}});
    const char *const cases[][2] = {
        {"256", "too large"}, {"-1", "too small"}, {"x", "invalid"}, {"", "invalid"}};
    for (const auto &c : cases) {
        stream *s = stream_new(STREAM_CPU, c[0]);
        EXPECT_EXIT(cpu_start(s), ::testing::ExitedWithCode(1),
                    std::string("fatal: cpu\\(") + c[0] + "\\) is invalid: " + c[1]);
        stream_list one = {s};
        stream_list_free(&one);
    }
}

} // namespace
