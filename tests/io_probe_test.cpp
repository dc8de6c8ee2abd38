// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The io probe and the disk name iterator, against the stand-in pointed at
// fixture trees.
#include <gtest/gtest.h>
#include <string>
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

// A /proc/diskstats line: n reads of n sectors, 2n writes of 2n sectors.
std::string disk(const std::string &name, int n)
{
    std::string r = std::to_string(n), w = std::to_string(2 * n);
    return "8 0 " + name + " " + r + " 0 " + r + " 0 " + w + " 0 " + w + " 0 0 0 0\n";
}

struct Io : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    stream *s = nullptr;

    ~Io() override
    {
        standin_set_root("");
        stream_list list = {s};
        stream_list_free(&list);
    }
    void diskstats(const std::string &text)
    {
        fixture.write("proc/diskstats", text);
        standin_set_root(fixture.path().c_str());
    }
    void start(const char *argument, int type = STREAM_IO)
    {
        stream_list list = {s};
        stream_list_free(&list);
        probe_table[type].start(s = stream_new(type, argument));
    }
    // Reads, after a check of the whole record (seeks 0); -1 when none is sent.
    long reads()
    {
        probe_table[s->type].sample();
        uint8_t buf[128] = {};
        int n = probe_table[s->type].pack(buf, sizeof(buf), s);
        const uint8_t *v = buf + 2 + strlen(s->argument);
        uint64_t r = decode_fixed64(v), expected[5] = {r, 2 * r, 0, 512 * r, 1024 * r};
        for (int i = 0; n && i < 5; i++)
            EXPECT_EQ(expected[i], decode_fixed64(v + 8 * i)) << i;
        EXPECT_EQ(n ? STREAM_IO : 0, buf[0]);
        return n == v + 40 - buf ? static_cast<long>(r) : -1;
    }
};

// Linux names split into FreeBSD's name and unit, then the match rule.
TEST_F(Io, ArgumentsFindTheirDevice)
{
    diskstats(disk("ada0", 1) + disk("ada10", 2) + disk("sda", 3) + disk("vdb", 4) + disk("nvme0n1", 5) +
              disk("dm-0", 6) + disk("sdaa", 7) + "garbage\n");
    const struct {
        const char *argument;
        long reads; // -1: not found
    } rows[] = {{"ada0", 1},    {"ada10", 2},     {"ada0p2", 1}, {"ada", -1},      {"/dev/ada0", -1},
                {"sd0", 3},     {"vd1", 4},       {"sda", -1},   {"nvme0n1", 5},   {"nvme0n1p2", 5},
                {"dm-0", 6},    {"sd26", 7}};
    for (const auto &r : rows) {
        log.clear();
        start(r.argument);
        EXPECT_EQ(r.reads, reads()) << r.argument;
        EXPECT_TRUE(log.has(std::string(r.reads < 0 ? "io(" : "started module io(") + r.argument +
                            (r.reads < 0 ? "): not found" : ")")))
            << log.dump();
    }
}

TEST_F(Io, Io1TravelsAsIoAndEveryTickFetchesTheWholeList)
{
    diskstats(disk("ada0", 1));
    start("ada0", STREAM_IO1);
    EXPECT_EQ(1, reads());
    fixture.write("proc/diskstats", disk("ada1", 5));
    EXPECT_EQ(-1, reads());
    fixture.write("proc/diskstats", disk("ada1", 5) + disk("ada0", 9));
    EXPECT_EQ(9, reads());
    fixture.write("proc/diskstats", "");
    EXPECT_EQ(-1, reads());
    EXPECT_FALSE(log.contains("not found")) << log.dump();
}

TEST_F(Io, FatalMessages)
{
    daemonized = 0;
    s = stream_new(STREAM_IO, "ada0");
    char *argument = s->argument;
    s->argument = nullptr;
    EXPECT_EXIT(io_start(s), ::testing::ExitedWithCode(1), "fatal: io: need a <device>\\|<devicename> argument");
    s->argument = argument;
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

// A link is offered first as its target, then as itself; the label case
// runs in a child whose root is a tree of links, where /dev/gpt lives.
TEST(Diskname, CandidatesInOrder)
{
    EXPECT_EQ((std::vector<std::string>{"/dev/ada0"}), candidates("/dev/ada0"));
    EXPECT_EQ((std::vector<std::string>{"/dev/lo"}), candidates("/dev/long", 8));
    temp_dir tree;
    tree.write("dev/ada0p2", "");
    tree.write("dev/gpt/.keep", "");
    tree.write("here/target", "");
    ASSERT_EQ(0, symlink("../ada0p2", tree.file("dev/gpt/rootfs").c_str()));
    ASSERT_EQ(0, symlink("target", tree.file("here/lbl").c_str()));
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for chroot";
    const std::vector<std::string> label = {"rootfs",      "/dev/rootfs",     "/dev/ufs/rootfs",  "/dev/ufsid/rootfs",
                                            "/dev/ada0p2", "/dev/gpt/rootfs", "/dev/label/rootfs"};
    const std::vector<std::string> relative = {"/here/target",   "lbl",          "/dev/lbl",      "/dev/ufs/lbl",
                                               "/dev/ufsid/lbl", "/dev/gpt/lbl", "/dev/label/lbl"};
    EXPECT_EXIT(
        {
            if (chroot(tree.path().c_str()) != 0 || chdir("/") != 0)
                _exit(2);
            bool ok = candidates("rootfs") == label;
            _exit(ok && chdir("/here") == 0 && candidates("lbl") == relative ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
