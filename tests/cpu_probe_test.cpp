// The cpu probe: the share arithmetic, and the probe against the stand-in
// pointed at fixture trees of /proc/stat.
#include <climits>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "codec.h"
#include "error.h"
#include "log_capture.h"
#include "probe.h"
#include "probes.h"
#include "standin.h"
#include "temp_dir.h"

namespace {

struct SharesCase {
    const char *name;
    int count;
    std::vector<int64_t> previous, current, shares;
    int32_t total;
};

TEST(CpuPercentages, SharesOfTheSummedChange)
{
    const SharesCase cases[] = {
        {"unchanged", 5, {7, 7, 7, 7, 7}, {7, 7, 7, 7, 7}, {0, 0, 0, 0, 0}, 1},
        // The wrapped change, INT64_MAX - 60, dominates; the total is cut to 32 bits.
        {"wrapped", 5, {100, 0, 0, 0, 0}, {40, 1, 0, 0, 0}, {1000, 0, 0, 0, 0}, -60},
        {"thirds", 5, {0, 0, 0, 0, 0}, {1, 0, 1, 0, 1}, {333, 0, 333, 0, 333}, 3},
        {"halves", 2, {10, 20}, {11, 21}, {500, 500}, 2},
        {"rounded half up", 2, {0, 0}, {1, 15}, {63, 938}, 16},
    };
    for (const SharesCase &c : cases) {
        std::vector<int64_t> previous = c.previous, shares(c.count, -1), differences(c.count);
        EXPECT_EQ(c.total, percentages(c.count, shares.data(), c.current.data(), previous.data(),
                                       differences.data()))
            << c.name;
        EXPECT_EQ(c.shares, shares) << c.name;
        EXPECT_EQ(c.current, previous) << c.name;
    }
    int64_t untouched = 42;
    EXPECT_EQ(1, percentages(0, &untouched, &untouched, &untouched, &untouched));
    EXPECT_EQ(42, untouched);
}

// Linux's columns of one cpuN line: user nice system idle iowait irq softirq steal.
using columns = std::vector<uint64_t>;

struct CpuProbe : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    std::vector<stream *> streams;

    ~CpuProbe() override
    {
        standin_set_root("");
        for (stream *s : streams) {
            stream_list list = {s};
            stream_list_free(&list);
        }
    }

    void stat(const std::map<int, columns> &cpus)
    {
        std::string text = "cpu  1 2 3 4 5 6 7 8 0 0\n";
        for (const auto &cpu : cpus) {
            text += "cpu" + std::to_string(cpu.first);
            for (uint64_t v : cpu.second)
                text += " " + std::to_string(v);
            text += " 0 0\n";
        }
        fixture.write("proc/stat", text + "intr 12 0 3\nctxt 99\nbtime 1700000000\n");
        standin_set_root(fixture.path().c_str());
    }

    stream *start(const char *argument)
    {
        streams.push_back(stream_new(STREAM_CPU, argument));
        cpu_start(streams.back());
        return streams.back();
    }

    // The probe's counters as a measurement of this tree leaves them: what
    // the next stream is primed with.
    void boot(const std::map<int, columns> &cpus)
    {
        stat(cpus);
        start("0");
        cpu_sample();
    }

    // The five values of the stream's record as they travel; empty when
    // the stream sends nothing.
    std::vector<uint16_t> packed(stream *s)
    {
        uint8_t buf[64] = {};
        int n = cpu_pack(buf, sizeof(buf), s);
        std::vector<uint16_t> v;
        if (n == 0)
            return v;
        int at = 2 + static_cast<int>(strlen(s->argument));
        EXPECT_EQ(at + 10, n);
        EXPECT_EQ(STREAM_CPU, buf[0]);
        for (int i = 0; i < 5; i++)
            v.push_back(decode_fixed16(buf + at + 2 * i));
        return v;
    }
};

const columns BOOT = {5000, 700, 9000, 80000, 300, 40, 60, 10};

columns plus(const columns &a, const columns &b)
{
    columns sum = a;
    for (size_t i = 0; i < sum.size(); i++)
        sum[i] += b[i];
    return sum;
}

// The first packet covers the first interval only (the stream is primed),
// Linux's columns fold into FreeBSD's states, and each per-mille share
// travels as a percentage in hundredths, truncated.
TEST_F(CpuProbe, SharesOfTheIntervalOnTheWire)
{
    struct {
        const char *name;
        columns delta;
        std::vector<uint16_t> wire;
    } cases[] = {
        {"thirds", {1, 0, 1, 1, 0, 0, 0, 0}, {3329, 0, 3329, 0, 3329}},
        {"halves", {1, 0, 0, 1, 0, 0, 0, 0}, {5000, 0, 0, 0, 5000}},
        {"unchanged", {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        // irq and softirq are interrupt time, iowait is idle, steal is left out.
        {"folded", {0, 2, 0, 1, 1, 3, 1, 50}, {0, 2500, 0, 5000, 2500}},
    };
    columns now = BOOT;
    boot({{0, now}});
    for (const auto &c : cases) {
        stream *s = start("0");
        now = plus(now, c.delta);
        stat({{0, now}});
        cpu_sample();
        EXPECT_EQ(c.wire, packed(s)) << c.name;
    }
    EXPECT_TRUE(log.has("started module cpu(0)"));
    EXPECT_FALSE(log.contains("warning")) << log.dump();
}

// Packing reads nothing: every stream takes its counters from the one read
// of the measurement.
TEST_F(CpuProbe, StreamsShareOneReadPerMeasurement)
{
    boot({{0, BOOT}, {1, BOOT}});
    stream *a = start("0");
    stream *b = start("1");
    stat({{0, plus(BOOT, {1, 0, 0, 0, 0, 0, 0, 0})}, {1, plus(BOOT, {0, 0, 1, 0, 0, 0, 0, 0})}});
    cpu_sample();
    stat({{0, plus(BOOT, {0, 0, 0, 9, 0, 0, 0, 0})}, {1, plus(BOOT, {0, 0, 0, 9, 0, 0, 0, 0})}});
    EXPECT_EQ((std::vector<uint16_t>{10000, 0, 0, 0, 0}), packed(a));
    EXPECT_EQ((std::vector<uint16_t>{0, 0, 10000, 0, 0}), packed(b));
}

// More CPUs than the kernel reported at start: the counter buffer grows on
// the next read, well past 51 CPUs.
TEST_F(CpuProbe, BufferGrowsWithTheCpuCount)
{
    boot({{0, BOOT}, {1, BOOT}});
    stream *high = start("99");
    EXPECT_TRUE(log.has("cpu(99): not in sysctl buffer")) << log.dump();
    std::map<int, columns> many;
    for (int i = 0; i < 100; i++)
        many[i] = BOOT;
    stat(many);
    cpu_sample();
    packed(high); // its first counters: the interval starts here
    many[99] = plus(BOOT, {3, 0, 0, 1, 0, 0, 0, 0});
    stat(many);
    log.clear();
    cpu_sample();
    EXPECT_EQ((std::vector<uint16_t>{7500, 0, 0, 0, 2500}), packed(high));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

// A CPU within the kernel's array but offline reads as zeros; one beyond it
// warns and sends nothing, at start and at every packet.
TEST_F(CpuProbe, CpusTheKernelDoesNotReport)
{
    boot({{0, BOOT}, {2, BOOT}});
    stream *offline = start("1");
    EXPECT_EQ((std::vector<uint16_t>{0, 0, 0, 0, 0}), packed(offline));
    for (const char *argument : {"3", "255"}) {
        log.clear();
        stream *beyond = start(argument);
        std::string warning = std::string("cpu(") + argument + "): not in sysctl buffer";
        EXPECT_TRUE(log.has(warning)) << log.dump();
        EXPECT_TRUE(log.has(std::string("started module cpu(") + argument + ")"));
        cpu_sample();
        EXPECT_TRUE(packed(beyond).empty()) << argument;
        EXPECT_EQ(2, log.count(warning)) << argument;
    }
}

TEST_F(CpuProbe, BadNumbersEndStartUp)
{
    daemonized = 0;
    stat({{0, BOOT}});
    const char *const cases[][2] = {
        {"256", "too large"}, {"-1", "too small"}, {"x", "invalid"},
        {"", "invalid"},      {"1x", "invalid"},   {"99999999999999999999", "too large"},
    };
    for (const auto &c : cases) {
        stream *s = stream_new(STREAM_CPU, c[0]);
        streams.push_back(s);
        EXPECT_EXIT(cpu_start(s), ::testing::ExitedWithCode(1),
                    std::string("fatal: cpu\\(") + c[0] + "\\) is invalid: " + c[1])
            << c[0];
    }
}

} // namespace
