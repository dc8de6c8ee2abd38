// The if probe against the stand-in pointed at fixture trees of
// /proc/net/dev.
#include <gtest/gtest.h>
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

const char HEADING[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

// One interface line whose sixteen columns are base + 0 to base + 15.
std::string line(const std::string &name, uint64_t base)
{
    std::string text = "  " + name + ":";
    for (uint64_t i = 0; i < 16; i++)
        text += " " + std::to_string(base + i);
    return text + "\n";
}

// The ten counters in sending order, as the columns above give them:
// packets and bytes each way, multicast in (none counted out), errors
// each way, collisions, drops in.
std::vector<uint64_t> expected(uint64_t base)
{
    return {base + 1, base + 9, base + 0, base + 8, base + 7, 0, base + 2, base + 10, base + 13,
            base + 3};
}

struct IfProbe : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    std::vector<stream *> streams;

    ~IfProbe() override
    {
        standin_set_root("");
        for (stream *s : streams) {
            stream_list list = {s};
            stream_list_free(&list);
        }
    }

    void netdev(const std::string &lines)
    {
        fixture.write("proc/net/dev", HEADING + lines);
        standin_set_root(fixture.path().c_str());
        if_sample();
    }

    stream *start(const char *argument, int type = STREAM_IF)
    {
        streams.push_back(stream_new(type, argument));
        probe_table[type].start(streams.back());
        return streams.back();
    }

    // The counters of the stream's record; empty when it sends nothing.
    std::vector<uint64_t> packed(stream *s)
    {
        uint8_t buf[128] = {};
        int n = probe_table[s->type].pack(buf, sizeof(buf), s);
        std::vector<uint64_t> v;
        if (n == 0)
            return v;
        int at = 2 + static_cast<int>(strlen(s->argument));
        EXPECT_EQ(at + 80, n);
        EXPECT_EQ(STREAM_IF, buf[0]) << "if1 travels in the wide layout";
        EXPECT_EQ(0, memcmp(buf + 1, s->argument, strlen(s->argument)));
        for (int i = 0; i < 10; i++)
            v.push_back(decode_fixed64(buf + at + 8 * i));
        return v;
    }
};

TEST_F(IfProbe, ExactNamesOnly)
{
    netdev(line("lo", 100) + line("em0:1", 200) + line("em0", 300) + line("em01", 400));
    const struct {
        const char *argument;
        int type;
        uint64_t base; // 0: sends nothing
    } cases[] = {
        {"em0", STREAM_IF, 300}, {"em0:1", STREAM_IF, 200}, {"em01", STREAM_IF1, 400},
        {"lo", STREAM_IF1, 100}, {"em", STREAM_IF, 0},      {"EM0", STREAM_IF, 0},
        {"em0 ", STREAM_IF, 0},  {"", STREAM_IF, 0},
    };
    for (const auto &c : cases) {
        stream *s = start(c.argument, c.type);
        EXPECT_EQ(c.base ? expected(c.base) : std::vector<uint64_t>{}, packed(s)) << c.argument;
    }
    EXPECT_TRUE(log.has("started module if(em0:1)"));
}

// The snapshot follows the interfaces from one measurement to the next:
// no restart or reload.
TEST_F(IfProbe, SnapshotFollowsTheInterfaces)
{
    stream *tun = start("tun0");
    stream *gone = start("em4");
    const struct {
        const char *name;
        std::string lines;
        uint64_t tun, gone; // 0: sends nothing
    } ticks[] = {
        {"five", line("lo", 1) + line("em1", 2) + line("em2", 3) + line("em3", 4) + line("em4", 5),
         0, 5},
        {"tun0 appears", line("lo", 1) + line("tun0", 70) + line("em4", 6), 70, 6},
        // Fewer rows: the elements past the count are not searched.
        {"two", line("lo", 1) + line("tun0", 71), 71, 0},
        // A row that cannot be read holds no interface, not last tick's.
        {"broken row", line("lo", 1) + line("tun0", 72) + "  em4: 1 2 3\n", 72, 0},
        {"no file", "", 0, 0},
    };
    for (const auto &t : ticks) {
        if (t.lines.empty()) {
            standin_set_root((fixture.path() + "/nowhere").c_str());
            if_sample();
        } else {
            netdev(t.lines);
        }
        EXPECT_EQ(t.tun ? expected(t.tun) : std::vector<uint64_t>{}, packed(tun)) << t.name;
        EXPECT_EQ(t.gone ? expected(t.gone) : std::vector<uint64_t>{}, packed(gone)) << t.name;
    }
    EXPECT_EQ(2u, log.lines().size()) << log.dump(); // the start messages only
}

TEST_F(IfProbe, TooManyInterfacesEndTheMonitor)
{
    daemonized = 0;
    std::string lines;
    for (int i = 0; i <= 10000; i++)
        lines += "veth" + std::to_string(i) + ": 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    fixture.write("proc/net/dev", HEADING + lines);
    standin_set_root(fixture.path().c_str());
    EXPECT_EXIT(if_sample(), ::testing::ExitedWithCode(1),
                "fatal: \\.\\./platform/FreeBSD/sm_if\\.cpp:108: dynamic object limit \\(10000\\) "
                "exceeded for ifmibdata structures");
}

} // namespace
