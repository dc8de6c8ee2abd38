// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The probe table and the load, memory and debug probes, against the
// stand-in pointed at fixture trees.
#include <climits>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "codec.h"
#include "internal.h"
#include "error.h"
#include "log_capture.h"
#include "probe.h"
#include "probes.h"
#include "standin.h"
#include "temp_dir.h"

namespace {

const char MEMINFO[] = "MemTotal:        8000000 kB\n"
                       "MemFree:         2000000 kB\n"
                       "MemAvailable:    5000000 kB\n"
                       "Active:          3000000 kB\n"
                       "Inactive:        1000000 kB\n";

const char SWAPS_TWO[] = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
                         "/dev/sda2                               partition\t1048572\t\t4096\t\t-2\n"
                         "/swapfile                               file\t\t2097148\t\t8192\t\t-3\n";

struct Probes : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    stream *s = stream_new(STREAM_MEM, "");

    ~Probes() override
    {
        standin_set_root("");
        stream_list list = {s};
        stream_list_free(&list);
    }

    void tree(const std::string &meminfo, const std::string &swaps, const std::string &loadavg)
    {
        if (!meminfo.empty())
            fixture.write("proc/meminfo", meminfo);
        if (!swaps.empty())
            fixture.write("proc/swaps", swaps);
        if (!loadavg.empty())
            fixture.write("proc/loadavg", loadavg);
        standin_set_root(fixture.path().c_str());
    }

    // The five memory values of a packed record.
    std::vector<uint64_t> mem_values()
    {
        uint8_t buf[64] = {};
        int n = mem_pack(buf, sizeof(buf), s);
        EXPECT_EQ(42, n);
        EXPECT_EQ(STREAM_MEM, buf[0]);
        std::vector<uint64_t> v;
        for (int i = 0; i < 5; i++)
            v.push_back(decode_fixed64(buf + 2 + 8 * i));
        return v;
    }
};

const uint64_t KIB = 1024;

TEST_F(Probes, PageShiftIsLog2)
{
    EXPECT_EQ(12u, page_shift(4096));
    EXPECT_EQ(13u, page_shift(8192));
    EXPECT_EQ(16u, page_shift(65536));
    EXPECT_EQ(1u, page_shift(2));
    EXPECT_EQ(0u, page_shift(1));
    EXPECT_EQ(0u, page_shift(0));
}

TEST_F(Probes, MemoryFiguresAndSwapSums)
{
    tree(MEMINFO, SWAPS_TWO, "0.00 0.00 0.00 1/1 1\n");
    mem_start(s);
    EXPECT_TRUE(log.has("started module mem()"));
    mem_sample();
    auto v = mem_values();
    EXPECT_EQ(3000000 * KIB, v[0]);
    EXPECT_EQ((8000000 - 2000000) * KIB, v[1]);
    EXPECT_EQ(2000000 * KIB, v[2]);
    EXPECT_EQ((4096 + 8192) * KIB, v[3]);
    EXPECT_EQ((1048572 + 2097148) * KIB, v[4]);
    EXPECT_FALSE(log.contains("warning")) << log.dump();
}

TEST_F(Probes, NoSwapDevicesGiveZeros)
{
    tree(MEMINFO, "Filename\tType\tSize\tUsed\tPriority\n", "0 0 0\n");
    mem_start(s);
    mem_sample();
    auto v = mem_values();
    EXPECT_EQ(0u, v[3]);
    EXPECT_EQ(0u, v[4]);
}

// A host without swap: the swap file is not needed, nor read.
TEST_F(Probes, NoSwapInTheMemoryFiguresNeedsNoSwapFile)
{
    tree(std::string(MEMINFO) + "SwapTotal:             0 kB\n", "", "0 0 0\n");
    mem_start(s);
    log.clear();
    mem_sample();
    auto v = mem_values();
    EXPECT_EQ(2000000 * KIB, v[2]);
    EXPECT_EQ(0u, v[3]);
    EXPECT_EQ(0u, v[4]);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(Probes, FailingSwapDeviceIsLeftOutSilently)
{
    tree(MEMINFO,
         "Filename\tType\tSize\tUsed\tPriority\n/dev/sda2 partition 1000 12 -2\n/dev/broken\n"
         "/dev/sdb1 partition 3000 28 -3\n",
         "0 0 0\n");
    mem_start(s);
    log.clear();
    mem_sample();
    auto v = mem_values();
    EXPECT_EQ(40 * KIB, v[3]);
    EXPECT_EQ(4000 * KIB, v[4]);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(Probes, UnreadablePhysmemFreezesAllFiveValues)
{
    tree(MEMINFO, SWAPS_TWO, "0 0 0\n");
    mem_start(s);
    mem_sample();
    auto good = mem_values();
    // The same file rewritten: the probe still reads it through its open descriptor.
    fixture.write("proc/meminfo", "MemFree: 1 kB\nActive: 1 kB\n");
    log.clear();
    mem_sample();
    EXPECT_TRUE(log.has("../platform/FreeBSD/sm_mem.cpp:130: sysctl hw.physmem failed"))
        << log.dump();
    EXPECT_EQ(good, mem_values());
    mem_sample();
    EXPECT_EQ(2, log.count("../platform/FreeBSD/sm_mem.cpp:130: sysctl hw.physmem failed"));
}

TEST_F(Probes, UnreadableVmtotalWarnsAndKeepsValues)
{
    tree("", "", "");
    mem_start(s);
    EXPECT_FALSE(log.contains("sysctlnametomib"));
    mem_sample();
    EXPECT_TRUE(log.has("../platform/FreeBSD/sm_mem.cpp:124: sysctl failed")) << log.dump();
}

TEST_F(Probes, FailedSwapCountLeavesSwapAtZero)
{
    tree(MEMINFO, "", "");
    mem_start(s);
    mem_sample();
    EXPECT_TRUE(log.has("../platform/FreeBSD/sm_mem.cpp:143: sysctl vm.nswapdev failed"));
    auto v = mem_values();
    EXPECT_EQ(3000000 * KIB, v[0]);
    EXPECT_EQ(0u, v[3]);
}

TEST_F(Probes, Mem1StreamsTravelAsMem)
{
    tree(MEMINFO, SWAPS_TWO, "");
    stream *narrow = stream_new(STREAM_MEM1, "x");
    probe_table[STREAM_MEM1].start(narrow);
    probe_table[STREAM_MEM1].sample();
    uint8_t buf[64] = {};
    EXPECT_EQ(2 + 1 + 40, probe_table[STREAM_MEM1].pack(buf, sizeof(buf), narrow));
    EXPECT_EQ(STREAM_MEM, buf[0]);
    stream_list list = {narrow};
    stream_list_free(&list);
}

TEST_F(Probes, LoadAveragesWithTwoDecimals)
{
    tree(MEMINFO, SWAPS_TWO, "1.50 0.25 12.34 2/345 6789\n");
    stream *load = stream_new(STREAM_LOAD, "");
    load_start(load);
    EXPECT_TRUE(log.has("started module load()"));
    load_sample();
    uint8_t buf[16] = {};
    ASSERT_EQ(8, load_pack(buf, sizeof(buf), load));
    EXPECT_EQ(150u, decode_fixed16(buf + 2));
    EXPECT_EQ(25u, decode_fixed16(buf + 4));
    EXPECT_EQ(1234u, decode_fixed16(buf + 6));
    // A broken file keeps the last averages, with a warning.
    fixture.write("proc/loadavg", "garbage\n");
    load_sample();
    EXPECT_TRUE(log.contains("could not get load average: ")) << log.dump();
    memset(buf, 0, sizeof(buf));
    load_pack(buf, sizeof(buf), load);
    EXPECT_EQ(150u, decode_fixed16(buf + 2));
    stream_list list = {load};
    stream_list_free(&list);
}

// The hand-written readers of the kernel's text give what the C library's
// would: strtod's double for every load text, strtoull's saturation, and
// counts that stop at the first thing that isn't a number.
TEST(StandinText, NumbersReadAsTheCLibraryReadsThem)
{
    char text[32];
    for (unsigned whole = 0; whole < 300; whole++)
        for (unsigned hundredths = 0; hundredths < 100; hundredths++) {
            snprintf(text, sizeof(text), "%u.%02u", whole, hundredths);
            double v = -1;
            ASSERT_EQ(1, standin_decimals(text, &v, 1));
            ASSERT_EQ(strtod(text, nullptr), v) << text;
        }
    double d[3];
    EXPECT_EQ(2, standin_decimals(" 7\t0.5 x", d, 3));
    EXPECT_EQ(7.0, d[0]);
    EXPECT_EQ(0.5, d[1]);
    EXPECT_EQ(0, standin_decimals("1234567890123456", d, 1));

    unsigned long long n[4] = {};
    EXPECT_EQ(3, standin_numbers(" 1 18446744073709551615\t99999999999999999999 -4", n, 4));
    EXPECT_EQ(1u, n[0]);
    EXPECT_EQ(ULLONG_MAX, n[1]);
    EXPECT_EQ(ULLONG_MAX, n[2]);
    EXPECT_EQ(0, standin_numbers("", n, 1));
    long long i = 0;
    EXPECT_EQ(1, standin_integer(" -20 x", &i));
    EXPECT_EQ(-20, i);
    EXPECT_EQ(1, standin_integer("\t19", &i));
    EXPECT_EQ(19, i);
    EXPECT_EQ(0, standin_integer(" - 1", &i));
    EXPECT_EQ(0, standin_integer("9223372036854775808", &i));
    EXPECT_STREQ(" 3 4", standin_skip_fields("/dev/sda2 partition 3 4", 2));
    EXPECT_EQ(nullptr, standin_skip_fields("/dev/broken\n/dev/sdb1", 2));
}

TEST_F(Probes, DebugProbeSendsZerosForMissingVariables)
{
    stream *dbg = stream_new(STREAM_DEBUG, "k");
    debug_start(dbg);
    EXPECT_TRUE(log.has("started module debug(k)"));
    uint8_t buf[128];
    memset(buf, 0xEE, sizeof(buf));
    buf[2] = 0;
    ASSERT_EQ(2 + 1 + 80, debug_pack(buf, sizeof(buf), dbg));
    EXPECT_EQ(STREAM_DEBUG, buf[0]);
    for (int i = 3; i < 83; i++)
        ASSERT_EQ(0, buf[i]) << i;
    stream_list list = {dbg};
    stream_list_free(&list);
}

TEST(ProbeTable, ShapeFollowsTheStreamTypes)
{
    for (int t = 0; t < PROBE_TABLE_SIZE; t++) {
        if (t == STREAM_ALLFORMATS)
            continue;
        EXPECT_EQ(t, probe_table[t].type);
        EXPECT_NE(nullptr, probe_table[t].start) << t;
        EXPECT_NE(nullptr, probe_table[t].pack) << t;
        // all takes a type that needs no argument or can find its objects.
        EXPECT_TRUE(!probe_table[t].in_all || !stream_row_of(t)->argument ||
                    probe_table[t].discover)
            << t;
    }
    EXPECT_EQ(STREAM_TYPE_COUNT, probe_table[18].type);
    EXPECT_EQ(nullptr, probe_table[18].start);
    // Exactly the operations each entry has.
    const int with_prepare[] = {STREAM_PF, STREAM_PROC, STREAM_PFQ};
    const int without_sample[] = {STREAM_DEBUG, STREAM_SENSOR};
    for (int t = 0; t < PROBE_TABLE_SIZE; t++) {
        if (t == STREAM_ALLFORMATS)
            continue;
        bool prepare = std::find(std::begin(with_prepare), std::end(with_prepare), t) !=
                       std::end(with_prepare);
        bool no_sample = std::find(std::begin(without_sample), std::end(without_sample), t) !=
                         std::end(without_sample);
        EXPECT_EQ(prepare, probe_table[t].prepare != nullptr) << t;
        EXPECT_EQ(no_sample, probe_table[t].sample == nullptr) << t;
    }
    // The narrow types share the wide types' operations.
    EXPECT_EQ(probe_table[STREAM_IO].pack, probe_table[STREAM_IO1].pack);
    EXPECT_EQ(probe_table[STREAM_MEM].pack, probe_table[STREAM_MEM1].pack);
    EXPECT_EQ(probe_table[STREAM_IF].pack, probe_table[STREAM_IF1].pack);
}

TEST(ProbeTableDeath, UnavailableProbesStopTheMonitor)
{
    daemonized = 0;
    stream *s = stream_new(STREAM_PF, "");
    EXPECT_EXIT(probe_table[STREAM_CPUIOW].sample(), ::testing::ExitedWithCode(1),
                "fatal: cpuiow module not available");
    EXPECT_EXIT(probe_table[STREAM_FLUKSO].start(s), ::testing::ExitedWithCode(1),
                "fatal: flukso module not available");
    EXPECT_EXIT(probe_table[STREAM_CPU].start(s), ::testing::ExitedWithCode(1),
                "fatal: cpu\\(\\) is invalid: invalid");
    EXPECT_EXIT((probe_table[STREAM_IF1].start(s), exit(0)), ::testing::ExitedWithCode(0), "");
    stream_list list = {s};
    stream_list_free(&list);
}

} // namespace
