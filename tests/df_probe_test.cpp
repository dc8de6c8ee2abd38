// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The df probe and the getmntinfo stand-in, against fixture trees; block
// sizes no real file system has come through the stand-in's figures seam.
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "codec.h"
#include "error.h"
#include "log_capture.h"
#include "probe.h"
#include "probes.h"
#include "standin.h"
#include "temp_dir.h"

namespace {

std::map<std::string, standin_fs_figures> figures;

int fixture_figures(const char *mount_point, standin_fs_figures *f)
{
    auto found = figures.find(mount_point);
    return found == figures.end() ? 0 : (*f = found->second, 1);
}

std::string mount(const std::string &point, const std::string &source, const std::string &dev = "0:40",
                  const std::string &type = "ufs")
{
    return "30 1 " + dev + " / " + point + " rw shared:1 - " + type + " " + source + " rw\n";
}

struct Df : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    stream *s = nullptr;

    ~Df() override
    {
        standin_set_fs_reader(nullptr);
        standin_set_root("");
        stream_list list = {s};
        stream_list_free(&list);
    }
    void mounts(const std::string &text, standin_fs_reader *reader = fixture_figures)
    {
        fixture.write("proc/self/mountinfo", text);
        standin_set_root(fixture.path().c_str());
        standin_set_fs_reader(reader);
    }
    void start(const std::string &argument)
    {
        stream_list list = {s};
        stream_list_free(&list);
        df_start(s = stream_new(STREAM_DF, argument.c_str()));
    }
    // The seven values, after a check of type and length; none when nothing is sent.
    std::vector<uint64_t> values()
    {
        df_sample();
        uint8_t buf[256] = {};
        int n = df_pack(buf, sizeof(buf), s);
        std::vector<uint64_t> v;
        size_t at = 2 + std::min<size_t>(strlen(s->argument), 63);
        EXPECT_EQ(n ? static_cast<int>(at + 56) : 0, n);
        EXPECT_EQ(n ? STREAM_DF : 0, buf[0]);
        for (int i = 0; n && i < 7; i++)
            v.push_back(decode_fixed64(buf + at + 8 * i));
        return v;
    }
};

TEST_F(Df, BlockCountsIn512ByteUnits)
{
    const struct {
        standin_fs_figures f;
        std::vector<uint64_t> sent;
    } rows[] = {
        {{4096, 1000, 600, 500, 77, 33}, {8000, 4800, 4000, 77, 33, 0, 0}},
        {{256, 1000, 600, 500, 77, 33}, {500, 300, 250, 77, 33, 0, 0}},
        {{1000, 1000, 600, 500, 77, 33}, {1000, 600, 500, 77, 33, 0, 0}},
        {{0, 1000, 600, 500, 77, 33}, {0, 0, 0, 77, 33, 0, 0}},
        // Filled into the reserve: nothing available, not 1.8e19.
        {{4096, 1000, 0, -5, 77, -3}, {8000, 0, 0, 77, 0, 0, 0}},
    };
    mounts(mount("/m", "/dev/ada0p2"));
    for (const auto &r : rows) {
        figures["/m"] = r.f;
        start("ada0p2");
        EXPECT_STREQ("/dev/ada0p2", stream_probe_state(s)->df.mount_source);
        EXPECT_EQ(r.sent, values()) << r.f.bsize;
    }
    EXPECT_FALSE(log.contains("failed")) << log.dump();
}

TEST_F(Df, ArgumentsResolveToMountSources)
{
    const std::string long_name(70, 'x');
    fixture.write("disk", "");
    ASSERT_EQ(0, symlink("disk", fixture.file("lbl").c_str()));
    char disk[PATH_MAX];
    ASSERT_NE(nullptr, realpath(fixture.file("disk").c_str(), disk));
    const struct {
        std::string argument, source, found; // found: "" for none
    } rows[] = {
        {"zroot/ROOT/default", "zroot/ROOT/default", "zroot/ROOT/default"},
        {"lbl", disk, disk},
        {long_name, long_name.substr(0, 63), long_name.substr(0, 63)},
        {long_name, long_name, ""},
        {"ada0", "/dev/ada0p2", ""},
    };
    char here[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(here, sizeof(here)));
    ASSERT_EQ(0, chdir(fixture.path().c_str()));
    for (const auto &r : rows) {
        mounts(mount("/", "/dev/other") + mount("/m", r.source));
        figures = {{"/", {512, 1, 1, 1, 1, 1}}, {"/m", {512, 2, 2, 2, 2, 2}}};
        log.clear();
        start(r.argument);
        EXPECT_EQ(r.found, stream_probe_state(s)->df.mount_source);
        std::string failed = "df(" + r.argument + ") failed (no such device)";
        EXPECT_EQ(r.found.empty() ? 0u : 7u, values().size());
        EXPECT_EQ(r.found.empty() ? 2 : 0, log.count(failed)) << r.argument;
        EXPECT_EQ(!r.found.empty(), log.has("started module df(" + r.argument + ")"));
    }
    ASSERT_EQ(0, chdir(here));
}

// Figures by line of the fixture's mountinfo, in list order: line i has
// i + 1 of everything, so the values tell which file system was picked.
size_t lines_listed, line_turn;

int by_line(const char *, standin_fs_figures *f)
{
    int64_t n = static_cast<int64_t>(line_turn++ % lines_listed) + 1;
    *f = {512, static_cast<uint64_t>(n), static_cast<uint64_t>(n), n, static_cast<uint64_t>(n), n};
    return 1;
}

TEST_F(Df, MountPointsAnswerWhereNoSourceDoes)
{
    using point_source = std::pair<std::string, std::string>;
    const struct {
        std::vector<point_source> lines;
        std::string argument, source; // source: what the stream keeps
        uint64_t found;                // line + 1, or 0 for none
    } rows[] = {
        {{{"/", "/dev/ada0p2"}, {"/var", "/dev/ada0p3"}}, "/", "", 1},
        {{{"/", "/dev/ada0p2"}, {"/var", "/dev/ada0p3"}}, "/var", "", 2},
        // A source naming a path keeps it, over what is mounted there.
        {{{"/var", "/dev/ada0p3"}, {"/jail/var", "/var"}}, "/var", "/var", 2},
        {{{"/", "/dev/ada0p2"}, {"/tmp", "tmpfs"}, {"/tmp", "/dev/md0"}}, "/tmp", "", 2},
        {{{"/", "/dev/ada0p2"}, {"/var", "/dev/ada0p3"}}, "/var/", "", 0},
    };
    for (const auto &r : rows) {
        std::string text;
        for (const point_source &l : r.lines)
            text += mount(l.first, l.second);
        lines_listed = r.lines.size();
        line_turn = 0;
        mounts(text, by_line);
        log.clear();
        start(r.argument);
        EXPECT_EQ(r.source, stream_probe_state(s)->df.mount_source) << r.argument;
        const uint64_t n = r.found;
        std::vector<uint64_t> sent = {n, n, n, n, n, 0, 0};
        EXPECT_EQ(n ? sent : std::vector<uint64_t>(), values()) << r.argument;
        EXPECT_EQ(r.found ? 0 : 2, log.count("df(" + r.argument + ") failed (no such device)")) << log.dump();
    }
}

TEST_F(Df, MissingFileSystemWarnsAtEveryTick)
{
    mounts(mount("/m", "/dev/ada0p2"));
    figures["/m"] = {512, 9, 8, 7, 6, 5};
    start("/dev/ada0p2");
    figures.clear();
    EXPECT_TRUE(values().empty());
    EXPECT_TRUE(values().empty());
    EXPECT_EQ(2, log.count("df(/dev/ada0p2) failed (no such device)"));
    figures["/m"] = {512, 9, 8, 7, 6, 5};
    EXPECT_EQ((std::vector<uint64_t>{9, 8, 7, 6, 5, 0, 0}), values());
    unlink(fixture.file("proc/self/mountinfo").c_str());
    standin_set_root(fixture.path().c_str());
    EXPECT_TRUE(values().empty());
    EXPECT_TRUE(log.has("df failed"));
    daemonized = 0;
    char *argument = s->argument;
    s->argument = nullptr;
    EXPECT_EXIT(df_start(s), ::testing::ExitedWithCode(1), "fatal: df: need a <disk device\\|name> argument");
    s->argument = argument;
}

// FreeBSD's kernel answers MNT_NOWAIT with a mount's figures of mount
// time (the FreeBSD run showed them frozen), and so does the stand-in:
// every measurement asks the file system again.
TEST_F(Df, EveryMeasurementAsksTheFileSystemAgain)
{
    mounts(mount("/m", "/dev/ada0p2"));
    const standin_fs_figures mounted = {512, 9, 8, 7, 6, 5}, later = {512, 9, 4, 3, 6, 2}, last = {512, 9, 1, 1, 6, 1};
    figures["/m"] = mounted;
    start("ada0p2");
    EXPECT_EQ((std::vector<uint64_t>{9, 8, 7, 6, 5, 0, 0}), values());
    figures["/m"] = later;
    EXPECT_EQ((std::vector<uint64_t>{9, 4, 3, 6, 2, 0, 0}), values());
    figures["/m"] = last;
    struct statfs *list = nullptr;
    // The figures last asked for, until asked again.
    const struct {
        int mode;
        uint64_t bfree;
    } asks[] = {{MNT_NOWAIT, 4}, {MNT_WAIT, 1}, {MNT_NOWAIT, 1}};
    for (const auto &a : asks) {
        ASSERT_EQ(1, getmntinfo(&list, a.mode));
        EXPECT_EQ(a.bfree, list[0].f_bfree) << a.mode;
    }
}

// Real figures, only where the mount point is in reach and on the mount's device.
TEST_F(Df, StandinListsReachableMountsOnly)
{
    mkdir(fixture.file("with blank").c_str(), 0755);
    struct stat st;
    ASSERT_EQ(0, stat(fixture.path().c_str(), &st));
    const std::string top = fixture.path(), dev = std::to_string(major(st.st_dev)) + ":";
    const std::string here = dev + std::to_string(minor(st.st_dev)), other = dev + std::to_string(minor(st.st_dev) + 1);
    const struct {
        std::string line, point, source; // point: "" when left out
    } rows[] = {
        {mount(top + "/with\\040blank", "/dev/b\\134c", here), top + "/with blank", "/dev/b\\c"},
        {mount(top, "/dev/d", other), "", ""},
        {mount(top + "/absent", "/dev/e", here), "", ""},
        {mount(top, "systemd-1", here, "autofs"), "", ""},
        {"30 1 " + here + " / " + top + " rw\n", "", ""},
    };
    for (const auto &r : rows) {
        mounts(r.line, nullptr);
        struct statfs *list = nullptr;
        int n = getmntinfo(&list, MNT_NOWAIT);
        ASSERT_EQ(r.point.empty() ? 0 : 1, n) << r.line;
        if (n == 1) {
            EXPECT_EQ(r.point, list[0].f_mntonname);
            EXPECT_EQ(r.source, list[0].f_mntfromname);
            EXPECT_GT(list[0].f_bsize * list[0].f_blocks, 0u);
        }
    }
}

} // namespace
