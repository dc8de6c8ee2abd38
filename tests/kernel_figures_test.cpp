// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The sensor, zfs, pf and mbuf probes against the stand-in pointed at a
// fixture tree: each stream's record byte for byte and its FIFO line,
// kelvin readings, corrupted and truncated records, a sensor that appears
// later, and the packing order that lets a collector which knows only the
// older types take every record it knows.
#include <gtest/gtest.h>

#include <cstdio>
#include <syslog.h>
#include <string>
#include <vector>

#include "crc32.h"
#include "fifoline.h"
#include "hex.h"
#include "kernel_fixtures.h"
#include "log_capture.h"
#include "probes.h"
#include "probo.h"
#include "standin.h"
#include "types.h"
#include "udp.h"

namespace {

// The record's FIFO line, from 127.0.0.1 at 1700000000.
std::string fifo_line(const uint8_t *record, int count)
{
    unpacked_stream u;
    EXPECT_EQ(count, unpack_stream_v2(record, count, &u));
    char buffer[4096];
    line_writer w;
    line_begin(&w, buffer, sizeof(buffer), "127.0.0.1");
    EXPECT_NE(nullptr, line_entry(&w, stream_type_name(u.type), u.argument, "1700000000", &u));
    line_entry_end(&w);
    return std::string(buffer, static_cast<size_t>(line_finish(&w)));
}

// One tree for every case: the pf probe keeps /dev/pf open from its first
// start, so the cases write their figures into the same files.
struct KernelFigures : ::testing::Test {
    static temp_dir *tree;
    static void SetUpTestSuite() { tree = new temp_dir; }
    static void TearDownTestSuite()
    {
        delete tree;
        tree = nullptr;
    }
    log_capture log;
    stream_list streams = {};

    KernelFigures()
    {
        write_kernel_fixtures(*tree);
        standin_set_root(tree->path().c_str());
    }
    ~KernelFigures() override
    {
        standin_set_root("");
        stream_list_free(&streams);
    }

    stream *start(int type, const char *argument)
    {
        stream *s = stream_new(type, argument);
        s->next = streams.first;
        streams.first = s;
        const probe_entry &e = probe_table[type];
        if (e.prepare)
            e.prepare();
        e.start(s);
        return s;
    }

    // The record the stream's probe packs at a tick, in hex; "" for none.
    std::string tick(stream *s, std::string *line = nullptr)
    {
        const probe_entry &e = probe_table[s->type];
        if (e.sample)
            e.sample();
        uint8_t buffer[512] = {};
        int n = e.pack(buffer, sizeof(buffer), s);
        if (line && n > 0)
            *line = fifo_line(buffer, n);
        return hex(buffer, static_cast<size_t>(n));
    }
};
temp_dir *KernelFigures::tree;

TEST_F(KernelFigures, EachStreamsRecordAndFifoLine)
{
    const struct {
        int type;
        const char *argument, *record, *line;
    } cases[] = {
        {STREAM_SENSOR, "tz0", "08747a30000000000002aea540",
         "127.0.0.1;sensor:tz0:1700000000:45.000000;\n"},
        {STREAM_SENSOR, "tz1", "08747a3100ffffffffffac13a0",
         "127.0.0.1;sensor:tz1:1700000000:-5.500000;\n"},
        // coretemp's "Core 0", not another driver's input of that label.
        {STREAM_SENSOR, "cpu0", "0863707530000000000003197500",
         "127.0.0.1;sensor:cpu0:1700000000:52.000000;\n"},
        // Any integer sysctl by its name, as it is.
        {STREAM_SENSOR, "kstat.zfs.misc.arcstats.hits",
         "086b737461742e7a66732e6d6973632e61726373746174732e68697473000000011f71ed6fc0",
         "127.0.0.1;sensor:kstat.zfs.misc.arcstats.hits:1700000000:1234567.000000;\n"},
        {STREAM_ZFS, "",
         "130000000001000000000000000200000000000000004000000000000004000000000000000060000000"
         "00000000800000000000000020000000000000000012d6870000000000015bb400000000000f42400000"
         "00000000c350000000000000753000000000000061a8000000080000000000000000000002bc00000000"
         "0000012c000000000000109200000000c00000000000000180000000",
         "127.0.0.1;zfs::1700000000:4294967296:8589934592:1073741824:17179869184:1610612736:"
         "2147483648:536870912:1234567:89012:1000000:50000:30000:25000:34359738368:700:300:"
         "4242:3221225472:6442450944;\n"},
        {STREAM_PF, "",
         "040000000000000005dc000000000000000c00000000000dbba00000000000009c400000000000009664"
         "000000000000006400000000000000c9000000000000012e000000000000019300000000000001f800"
         "0000000000025d00000000000002c20000000000000327000000000000038c00000000000003f10000"
         "00000000045600000000000004bb0000000000000520000000000000058500000000000005ea000000"
         "000000064f0000000000000007",
         "127.0.0.1;pf::1700000000:1500:12:900000:40000:38500:100:201:302:403:504:605:706:807:"
         "908:1009:1110:1211:1312:1413:1514:1615:7;\n"},
        // netstat -m would say 1200/250/1450 mbufs, 450/190/640/250000
        // clusters, 60, 0 and 2 jumbo clusters in use, 10 requests denied
        // and 3 delayed in all, 77 sendfile calls, 11 with I/O, 222 pages.
        {STREAM_MBUF, "",
         "0700000004b0000000fa000005aa000001c2000000be000002800003d0900000003c0000000000000002"
         "0000000a000000030000004d0000000b000000de",
         "127.0.0.1;mbuf::1700000000:1200:250:1450:450:190:640:250000:60:0:2:10:3:77:11:222;\n"},
    };
    for (const auto &c : cases) {
        stream *s = start(c.type, c.argument);
        std::string line;
        EXPECT_EQ(c.record, tick(s, &line)) << c.argument;
        EXPECT_EQ(c.line, line);
    }
    for (const logged &l : log.lines())
        EXPECT_NE(LOG_WARNING, l.priority) << l.text;
}

TEST(SensorReading, KelvinByTheFormatOtherIntegersAsTheyAre)
{
    const struct {
        const char *format;
        int64_t value, millionths;
    } cases[] = {
        {"IK", 3000, 26850000},            // tenths of a kelvin, as coretemp gives them
        {"IK", 0, -273150000},
        {"IK3", 318150, 45000000},
        {"IK0", 300, 26850000},
        {"IK9", 318150000000, 45000000},
        {"I", -42, -42000000},
        {"IKx", 5, 5000000},
        {"QU", INT64_MAX, INT64_MAX},      // past a D value: its nearest end
        {"Q", INT64_MIN, INT64_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.millionths, sensor_millionths(c.value, sensor_kelvin_decimals(c.format)))
            << c.format << " " << c.value;
}

std::string cut(const std::string &record, size_t length)
{
    return record.substr(0, length);
}

TEST_F(KernelFigures, CorruptedAndTruncatedRecordsSendNothingWithOneWarning)
{
    std::string zones = zone_stats_stream(), other_version = zones, huge_cpus = zones,
                no_mbuf = zones;
    other_version[0] = 2;
    huge_cpus[4] = huge_cpus[5] = huge_cpus[6] = huge_cpus[7] = '\xff';
    no_mbuf.replace(no_mbuf.find(std::string("mbuf\0", 5)), 5, std::string("mbux\0", 5));
    const struct {
        int type;
        const char *argument, *file;
        std::string contents;
        const char *warning;
    } cases[] = {
        {STREAM_PF, "", "dev/pf", cut(pf_status_record(), 100),
         "pf: DIOCGETSTATUS failed: Invalid argument; sending nothing"},
        {STREAM_PF, "", "dev/pf", pf_status_record(false),
         "pf is not running; sending nothing while it is not"},
        {STREAM_MBUF, "", "sysctl/vm.zone_stats", cut(zones, 10),
         "mbuf: vm.zone_stats shorter than its header; sending nothing"},
        {STREAM_MBUF, "", "sysctl/vm.zone_stats", other_version,
         "mbuf: vm.zone_stats of another version; sending nothing"},
        {STREAM_MBUF, "", "sysctl/vm.zone_stats", cut(zones, zones.size() - 1),
         "mbuf: vm.zone_stats shorter than its zones; sending nothing"},
        {STREAM_MBUF, "", "sysctl/vm.zone_stats", huge_cpus,
         "mbuf: vm.zone_stats shorter than its zones; sending nothing"},
        {STREAM_MBUF, "", "sysctl/vm.zone_stats", no_mbuf,
         "mbuf: vm.zone_stats without the mbuf zone; sending nothing"},
        {STREAM_SENSOR, "tz0", "sys/class/thermal/thermal_zone0/temp", "hot\n",
         "sensor(tz0) cannot be read: Input/output error; sending nothing until it can"},
        // A figure gone from ZFS's statistics: nothing, with no word at a tick.
        {STREAM_ZFS, "", "proc/spl/kstat/zfs/arcstats", "13 1\nname type data\nsize 4\n", nullptr},
    };
    for (const auto &c : cases) {
        std::string good = read_file(tree->file(c.file));
        stream *s = start(c.type, c.argument);
        EXPECT_NE("", tick(s)) << c.file;
        tree->write(c.file, c.contents);
        standin_set_root(tree->path().c_str());
        log.clear();
        EXPECT_EQ("", tick(s)) << c.file;
        EXPECT_EQ("", tick(s)) << c.file;
        if (c.warning) {
            EXPECT_EQ(1, log.count(c.warning)) << log.dump();
        }
        EXPECT_EQ(static_cast<size_t>(c.warning != nullptr), log.lines().size()) << log.dump();
        // Sent again once the kernel's figures read right.
        tree->write(c.file, good);
        standin_set_root(tree->path().c_str());
        log.clear();
        EXPECT_NE("", tick(s)) << c.file;
    }
}

TEST_F(KernelFigures, MissingSensorIsToldOnceAndSentOnceItAppears)
{
    stream *later = start(STREAM_SENSOR, "tz5");
    EXPECT_TRUE(log.has("sensor(tz5): no sysctl hw.acpi.thermal.tz5.temperature; sending nothing "
                        "until it appears"))
        << log.dump();
    EXPECT_TRUE(log.has("started module sensor(tz5)"));
    EXPECT_EQ("", tick(later));
    EXPECT_EQ("", tick(later));
    tree->write("sys/class/thermal/thermal_zone5/temp", "30500\n");
    std::string line;
    EXPECT_NE("", tick(later, &line));
    EXPECT_EQ("127.0.0.1;sensor:tz5:1700000000:30.500000;\n", line);
    EXPECT_TRUE(log.has("sensor(tz5) appeared"));
    EXPECT_EQ(1, log.count("sensor(tz5): no sysctl hw.acpi.thermal.tz5.temperature; sending "
                           "nothing until it appears"));

    // AMD's package sensor stands for every CPU without a core's own,
    // Tdie before Tctl; a CPU the kernel does not list has none.
    tree->write("proc/stat", "cpu  1 1 1 1\ncpu0 1 1 1 1\ncpu3 1 1 1 1\n");
    tree->write("sys/class/hwmon/hwmon2/name", "k10temp\n");
    tree->write("sys/class/hwmon/hwmon2/temp1_label", "Tctl\n");
    tree->write("sys/class/hwmon/hwmon2/temp1_input", "61250\n");
    tree->write("sys/class/hwmon/hwmon2/temp2_label", "Tdie\n");
    tree->write("sys/class/hwmon/hwmon2/temp2_input", "58000\n");
    standin_set_root(tree->path().c_str());
    tick(start(STREAM_SENSOR, "cpu3"), &line);
    EXPECT_EQ("127.0.0.1;sensor:cpu3:1700000000:58.000000;\n", line);
    EXPECT_EQ("", tick(start(STREAM_SENSOR, "cpu4")));

    // A sysctl that holds no integer is told at start and never read.
    log.clear();
    EXPECT_EQ("", tick(start(STREAM_SENSOR, "vm.zone_stats")));
    EXPECT_TRUE(log.has("sensor(vm.zone_stats): vm.zone_stats is not an integer; sending nothing"))
        << log.dump();
}

void take(void *receiver, const char *name)
{
    *static_cast<std::string *>(receiver) += std::string("(") + name + ")";
}

// sensor(*) takes the CPUs' and zones' temperatures up to the first
// missing; all takes zfs and mbuf where the host has them.
TEST_F(KernelFigures, FoundOnTheHost)
{
    const struct {
        int type;
        const char *root, *found;
    } cases[] = {
        {STREAM_SENSOR, "tree", "(cpu0)(tz0)(tz1)"},
        {STREAM_ZFS, "tree", "()"},
        {STREAM_MBUF, "tree", "()"},
        {STREAM_SENSOR, "empty", ""},
        {STREAM_ZFS, "empty", ""},
        {STREAM_MBUF, "empty", ""},
    };
    for (const auto &c : cases) {
        standin_set_root(std::string(c.root) == "tree" ? tree->path().c_str()
                                                       : tree->file("empty").c_str());
        std::string found;
        probe_table[c.type].discover(take, &found);
        EXPECT_EQ(c.found, found) << stream_type_name(c.type) << " " << c.root;
        EXPECT_TRUE(probe_table[c.type].in_all);
    }
}

// A collector stops at the first type it does not know: one that knows
// the types to 18 still takes every other record of a packet that holds
// a zfs record, whatever the order of the configuration.
TEST_F(KernelFigures, AnOlderCollectorTakesEveryRecordItKnows)
{
    crc32_init_table();
    udp_socket listener("127.0.0.1");
    mux_list muxes = {};
    mux *m = mux_list_add(&muxes, "collector");
    m->interval = 1;
    m->address = strdup("127.0.0.1");
    m->port = strdup(std::to_string(listener.port()).c_str());
    // Each added at the list's head: zfs comes first in the list.
    const std::pair<int, const char *> configured[] = {
        {STREAM_LOAD, ""}, {STREAM_MBUF, ""}, {STREAM_SENSOR, "tz0"}, {STREAM_PF, ""}, {STREAM_ZFS, ""}};
    for (const auto &c : configured)
        mux_add_stream(m, c.first, c.second);
    ASSERT_EQ(STREAM_ZFS, m->streams.first->type);
    sender_list senders = {};
    sender *to = sender_list_add(&senders, m);
    sender_size_packet(to);
    open_sender_socket(to);
    for (stream *s = m->streams.first; s; s = s->next) {
        if (probe_table[s->type].prepare)
            probe_table[s->type].prepare();
        probe_table[s->type].start(s);
    }
    measure(&senders, 1700000000, 1);
    std::vector<uint8_t> p = listener.receive();
    ASSERT_FALSE(p.empty());
    std::vector<std::string> older, all;
    bool stopped = false;
    for (size_t offset = PACKET_HEADER_SIZE; offset < p.size();) {
        unpacked_stream u;
        int n = unpack_stream_v2(p.data() + offset, static_cast<int>(p.size() - offset), &u);
        ASSERT_GT(n, 0);
        stopped = stopped || u.type >= STREAM_KNOWN_EVERYWHERE;
        std::string name = std::string(stream_type_name(u.type)) + "(" + u.argument + ")";
        all.push_back(name);
        if (!stopped)
            older.push_back(name);
        offset += static_cast<size_t>(n);
    }
    EXPECT_EQ((std::vector<std::string>{"pf()", "sensor(tz0)", "mbuf()", "load()"}), older);
    EXPECT_EQ((std::vector<std::string>{"pf()", "sensor(tz0)", "mbuf()", "load()", "zfs()"}), all);
    sender_list_free(&senders);
    mux_list_free(&muxes);
}

} // namespace
