// The io probe and the disk name iterator, against the stand-in pointed at
// fixture trees.
#include <gtest/gtest.h>
#include <devstat.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "codec.h"
#include "diskname.h"
#include "error.h"
#include "log_capture.h"
#include "probe.h"
#include "probes.h"
#include "standin.h"
#include "temp_dir.h"

namespace {

// major minor name reads merged sectors ms writes merged sectors ms ...
std::string disk(const std::string &name, int reads, int read_sectors, int writes, int write_sectors)
{
    return "   8       0 " + name + " " + std::to_string(reads) + " 0 " + std::to_string(read_sectors) +
           " 0 " + std::to_string(writes) + " 0 " + std::to_string(write_sectors) +
           " 0 0 0 0 0 0 0 0\n";
}

struct Io : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    std::vector<stream *> streams;

    ~Io() override
    {
        standin_set_root("");
        for (stream *s : streams) {
            stream_list one = {s};
            stream_list_free(&one);
        }
    }
    void diskstats(const std::string &text)
    {
        fixture.write("proc/diskstats", text);
        standin_set_root(fixture.path().c_str());
    }
    stream *start(const std::string &argument, int type = STREAM_IO)
    {
        streams.push_back(stream_new(type, argument.c_str()));
        probe_table[type].start(streams.back());
        return streams.back();
    }
    // The five values, or nothing when the stream sent no record.
    std::vector<uint64_t> values(stream *s)
    {
        uint8_t buf[128] = {};
        int n = probe_table[s->type].pack(buf, sizeof(buf), s);
        if (n == 0)
            return {};
        EXPECT_EQ(static_cast<int>(2 + strlen(s->argument) + 40), n);
        EXPECT_EQ(STREAM_IO, buf[0]);
        std::vector<uint64_t> v;
        for (int i = 0; i < 5; i++)
            v.push_back(decode_fixed64(buf + 2 + strlen(s->argument) + 8 * i));
        return v;
    }
};

TEST_F(Io, LinuxNamesBecomeNameAndUnit)
{
    const struct {
        const char *linux_name, *name;
        int unit;
    } rows[] = {
        {"sda", "sd", 0},      {"vdb", "vd", 1},        {"xvdc", "xvd", 2},     {"sdaa", "sd", 26},
        {"sda1", "sda", 1},    {"nvme0n1", "nvme0n", 1}, {"nvme0n1p2", "nvme0n1p", 2},
        {"dm-0", "dm-", 0},    {"md127", "md", 127},     {"zram", "zram", 0},
    };
    std::string text;
    for (const auto &r : rows)
        text += disk(r.linux_name, 3, 8, 2, 4);
    diskstats(text + "garbage line\n");
    EXPECT_EQ(10, devstat_getnumdevs(nullptr));
    devinfo holder = {};
    statinfo stats = {};
    stats.dinfo = &holder;
    EXPECT_EQ(1, devstat_getdevs(nullptr, &stats));
    ASSERT_EQ(10, holder.numdevs);
    for (int i = 0; i < 10; i++) {
        EXPECT_STREQ(rows[i].name, holder.devices[i].device_name) << rows[i].linux_name;
        EXPECT_EQ(rows[i].unit, holder.devices[i].unit_number) << rows[i].linux_name;
        EXPECT_EQ(3u, holder.devices[i].operations[DEVSTAT_READ]);
        EXPECT_EQ(4u * 512, holder.devices[i].bytes[DEVSTAT_WRITE]);
    }
    // The same list again: unchanged generation, and the block is the caller's to free.
    EXPECT_EQ(0, devstat_getdevs(nullptr, &stats));
    free(holder.mem_ptr);
}

TEST_F(Io, ArgumentsMatchDeviceAndUnit)
{
    diskstats(disk("ada0", 11, 100, 22, 200) + disk("ada10", 33, 300, 44, 400));
    const struct {
        const char *argument;
        std::vector<uint64_t> values; // none: no such device
    } rows[] = {
        {"ada0", {11, 22, 0, 51200, 102400}}, {"ada10", {33, 44, 0, 153600, 204800}},
        {"ada0p2", {11, 22, 0, 51200, 102400}}, {"ada1", {}}, {"ada", {}}, {"/dev/ada0", {}},
    };
    for (const auto &r : rows) {
        log.clear();
        stream *s = start(r.argument);
        probe_table[STREAM_IO].sample();
        EXPECT_EQ(r.values, values(s)) << r.argument;
        std::string message = r.values.empty() ? std::string("io(") + r.argument + "): not found"
                                               : std::string("started module io(") + r.argument + ")";
        EXPECT_TRUE(log.has(message)) << log.dump();
    }
}

TEST_F(Io, Io1TravelsAsIoAndEveryTickFetchesTheWholeList)
{
    diskstats(disk("ada0", 1, 2, 3, 4));
    stream *old = start("ada0", STREAM_IO1);
    stream *later = start("ada1");
    EXPECT_TRUE(log.has("io(ada1): not found"));
    EXPECT_EQ((std::vector<uint64_t>{1, 3, 0, 1024, 2048}), values(old));
    // Counters move, a disk comes, another goes: the next tick sees it all.
    fixture.write("proc/diskstats", disk("ada1", 5, 6, 7, 8));
    probe_table[STREAM_IO].sample();
    log.clear();
    EXPECT_TRUE(values(old).empty());
    EXPECT_EQ((std::vector<uint64_t>{5, 7, 0, 3072, 4096}), values(later));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    fixture.write("proc/diskstats", disk("ada0", 9, 9, 9, 9) + disk("ada1", 5, 6, 7, 8));
    probe_table[STREAM_IO1].sample();
    EXPECT_EQ(9u, values(old)[0]);
    // No devices at all: nothing sent.
    fixture.write("proc/diskstats", "");
    probe_table[STREAM_IO].sample();
    EXPECT_TRUE(values(later).empty());
}

TEST_F(Io, FatalMessages)
{
    daemonized = 0;
    diskstats(disk("ada0", 1, 2, 3, 4));
    stream *s = stream_new(STREAM_IO, "ada0");
    streams.push_back(s);
    char *argument = s->argument;
    s->argument = nullptr;
    EXPECT_EXIT(io_start(s), ::testing::ExitedWithCode(1),
                "fatal: io: need a <device>\\|<devicename> argument");
    s->argument = argument;
    unlink(fixture.file("proc/diskstats").c_str());
    standin_set_root(fixture.path().c_str());
    EXPECT_EXIT(io_start(s), ::testing::ExitedWithCode(1), "fatal: io: numdevs error");
    EXPECT_EXIT(io_sample(), ::testing::ExitedWithCode(1), "fatal: io: numdevs error");
}

std::vector<std::string> candidates(const char *name, size_t size = 1024)
{
    std::vector<std::string> all;
    std::vector<char> buffer(size);
    diskname_iter it;
    diskname_init(&it, name, buffer.data(), size);
    for (const char *c; (c = diskname_next(&it)) != nullptr;)
        all.push_back(c);
    return all;
}

TEST(Diskname, CandidatesInOrder)
{
    EXPECT_EQ((std::vector<std::string>{"/dev/ada0"}), candidates("/dev/ada0"));
    EXPECT_EQ((std::vector<std::string>{"/dev/lo"}), candidates("/dev/long", 8));
    EXPECT_TRUE(candidates(nullptr).empty());
    // A relative link in the current directory: its target first, then itself.
    temp_dir dir;
    dir.write("target", "");
    ASSERT_EQ(0, symlink("target", dir.file("lbl").c_str()));
    char here[4096];
    ASSERT_NE(nullptr, getcwd(here, sizeof(here)));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    std::vector<std::string> seen = candidates("lbl");
    ASSERT_EQ(0, chdir(here));
    EXPECT_EQ((std::vector<std::string>{dir.file("target"), "lbl", "/dev/lbl", "/dev/ufs/lbl",
                                        "/dev/ufsid/lbl", "/dev/gpt/lbl", "/dev/label/lbl"}),
              seen);
}

// A label under /dev/gpt, in a tree of links that becomes the root of a
// child process, so that the iterator's absolute patterns land in it.
TEST(Diskname, LabelLinkResolvesInPlace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for chroot";
    temp_dir tree;
    tree.write("dev/ada0p2", "");
    tree.write("dev/gpt/.keep", "");
    ASSERT_EQ(0, symlink("../ada0p2", tree.file("dev/gpt/rootfs").c_str()));
    const std::vector<std::string> expected = {"rootfs",           "/dev/rootfs",     "/dev/ufs/rootfs",
                                               "/dev/ufsid/rootfs", "/dev/ada0p2",     "/dev/gpt/rootfs",
                                               "/dev/label/rootfs"};
    EXPECT_EXIT(
        {
            if (chroot(tree.path().c_str()) != 0 || chdir("/") != 0)
                _exit(2);
            _exit(candidates("rootfs") == expected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
