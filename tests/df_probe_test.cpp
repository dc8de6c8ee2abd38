// The df probe and the getmntinfo stand-in, against fixture trees; block
// sizes no real file system has come through the stand-in's figures seam.
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
    if (found == figures.end())
        return 0;
    *f = found->second;
    return 1;
}

std::string mount(const std::string &point, const std::string &source, const std::string &dev = "0:40",
                  const std::string &type = "ufs")
{
    return "30 1 " + dev + " / " + point + " rw,relatime shared:1 - " + type + " " + source + " rw\n";
}

// The record df would send: argument and seven big-endian values.
std::vector<uint8_t> record(const std::string &argument, const std::vector<uint64_t> &values)
{
    std::vector<uint8_t> r(2 + argument.size() + 8 * values.size(), 0);
    r[0] = STREAM_DF;
    memcpy(r.data() + 1, argument.data(), argument.size());
    for (size_t i = 0; i < values.size(); i++)
        encode_fixed64(r.data() + 2 + argument.size() + 8 * i, values[i]);
    return r;
}

struct Df : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    std::vector<stream *> streams;

    Df() { figures.clear(); }
    ~Df() override
    {
        standin_set_fs_reader(nullptr);
        standin_set_root("");
        for (stream *s : streams) {
            stream_list one = {s};
            stream_list_free(&one);
        }
    }
    void mounts(const std::string &text, standin_fs_reader *reader = fixture_figures)
    {
        fixture.write("proc/self/mountinfo", text);
        standin_set_root(fixture.path().c_str());
        standin_set_fs_reader(reader);
    }
    stream *start(const std::string &argument)
    {
        streams.push_back(stream_new(STREAM_DF, argument.c_str()));
        df_start(streams.back());
        return streams.back();
    }
    std::vector<uint8_t> packed(stream *s)
    {
        uint8_t buf[256] = {};
        int n = df_pack(buf, sizeof(buf), s);
        return std::vector<uint8_t>(buf, buf + n);
    }
};

TEST_F(Df, BlockCountsIn512ByteUnits)
{
    const struct {
        unsigned long long bsize;
        std::vector<uint64_t> blocks; // total, free, available
    } rows[] = {
        {4096, {8000, 4800, 4000}}, {512, {1000, 600, 500}}, {256, {500, 300, 250}},
        {1000, {1000, 600, 500}},   {1, {1, 1, 0}},          {0, {0, 0, 0}},
    };
    mounts(mount("/m", "/dev/ada0p2"));
    for (const auto &r : rows) {
        figures["/m"] = {r.bsize, 1000, 600, 500, 77, 33};
        stream *s = start("ada0p2");
        df_sample();
        const std::vector<uint64_t> &b = r.blocks;
        EXPECT_EQ(record("ada0p2", {b[0], b[1], b[2], 77, 33, 0, 0}), packed(s)) << r.bsize;
    }
    // Filled into the reserve: nothing available, not 1.8e19.
    figures["/m"] = {4096, 1000, 0, -5, 77, -3};
    df_sample();
    EXPECT_EQ(record("ada0p2", {8000, 0, 0, 77, 0, 0, 0}), packed(streams.back()));
    EXPECT_FALSE(log.contains("failed")) << log.dump();
}

TEST_F(Df, ArgumentsResolveToMountSources)
{
    const std::string long_name(70, 'x');
    fixture.write("disk", "");
    ASSERT_EQ(0, symlink("disk", fixture.file("lbl").c_str()));
    char disk_path[4096];
    ASSERT_NE(nullptr, realpath(fixture.file("disk").c_str(), disk_path));
    const std::string disk = disk_path;
    const struct {
        std::string argument, source, found; // found: the stream's mount source, "" for none
    } rows[] = {
        {"ada0p2", "/dev/ada0p2", "/dev/ada0p2"},
        {"zroot/ROOT/default", "zroot/ROOT/default", "zroot/ROOT/default"},
        {"lbl", disk, disk},
        {long_name, long_name.substr(0, 63), long_name.substr(0, 63)},
        {long_name, long_name, ""},
        {"ada0", "/dev/ada0p2", ""},
    };
    char here[4096];
    ASSERT_NE(nullptr, getcwd(here, sizeof(here)));
    ASSERT_EQ(0, chdir(fixture.path().c_str()));
    for (const auto &r : rows) {
        mounts(mount("/", "/dev/other") + mount("/m", r.source));
        figures = {{"/", {512, 1, 1, 1, 1, 1}}, {"/m", {512, 2, 2, 2, 2, 2}}};
        log.clear();
        stream *s = start(r.argument);
        EXPECT_EQ(r.found, s->probe_state.df.mount_source) << r.argument;
        df_sample();
        if (r.found.empty()) {
            EXPECT_EQ(1, log.count("df(" + r.argument + ") failed (no such device)"));
            EXPECT_TRUE(packed(s).empty());
            EXPECT_EQ(2, log.count("df(" + r.argument + ") failed (no such device)"));
        } else {
            EXPECT_TRUE(log.has("started module df(" + r.argument + ")")) << log.dump();
            EXPECT_EQ(record(r.argument.substr(0, 63), {2, 2, 2, 2, 2, 0, 0}), packed(s));
        }
    }
    ASSERT_EQ(0, chdir(here));
}

TEST_F(Df, MissingFileSystemWarnsAtEveryTick)
{
    mounts(mount("/m", "/dev/ada0p2"));
    figures["/m"] = {512, 9, 8, 7, 6, 5};
    stream *s = start("/dev/ada0p2");
    figures.clear();
    for (int tick = 1; tick <= 2; tick++) {
        df_sample();
        EXPECT_TRUE(packed(s).empty());
        EXPECT_EQ(tick, log.count("df(/dev/ada0p2) failed (no such device)"));
    }
    // Mounted again from the same source: found again.
    figures["/m"] = {512, 9, 8, 7, 6, 5};
    df_sample();
    EXPECT_EQ(record("/dev/ada0p2", {9, 8, 7, 6, 5, 0, 0}), packed(s));
    // No mount list at all.
    unlink(fixture.file("proc/self/mountinfo").c_str());
    standin_set_root(fixture.path().c_str());
    df_sample();
    EXPECT_TRUE(log.has("df failed"));
    EXPECT_TRUE(packed(s).empty());
}

// The real figures, only for a mount point that is in reach and lies on
// the mount's own device.
TEST_F(Df, StandinListsReachableMountsOnly)
{
    mkdir(fixture.file("with blank").c_str(), 0755);
    struct stat st;
    ASSERT_EQ(0, stat(fixture.path().c_str(), &st));
    const std::string dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    const std::string other = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev) + 1);
    const struct {
        std::string line;
        std::string point, source; // as listed; "" for left out
    } rows[] = {
        {mount(fixture.path(), "/dev/a", dev), fixture.path(), "/dev/a"},
        {mount(fixture.path() + "/with\\040blank", "/dev/b\\134c", dev), fixture.path() + "/with blank",
         "/dev/b\\c"},
        {mount(fixture.path(), "/dev/d", other), "", ""},
        {mount(fixture.path() + "/absent", "/dev/e", dev), "", ""},
        {mount(fixture.path(), "systemd-1", dev, "autofs"), "", ""},
        {"30 1 " + dev + " / " + fixture.path() + " rw\n", "", ""},
    };
    struct statvfs v;
    ASSERT_EQ(0, statvfs(fixture.path().c_str(), &v));
    for (const auto &r : rows) {
        mounts(r.line, nullptr);
        struct statfs *list = nullptr;
        int n = getmntinfo(&list, MNT_NOWAIT);
        ASSERT_EQ(r.point.empty() ? 0 : 1, n) << r.line;
        if (n == 0)
            continue;
        EXPECT_EQ(r.point, list[0].f_mntonname);
        EXPECT_EQ(r.source, list[0].f_mntfromname);
        EXPECT_EQ(v.f_frsize, list[0].f_bsize);
        EXPECT_EQ(v.f_blocks, list[0].f_blocks);
        EXPECT_EQ(0u, list[0].f_syncwrites + list[0].f_asyncwrites);
    }
}

TEST_F(Df, MissingArgumentIsFatal)
{
    daemonized = 0;
    stream *s = stream_new(STREAM_DF, "");
    streams.push_back(s);
    char *argument = s->argument;
    s->argument = nullptr;
    EXPECT_EXIT(df_start(s), ::testing::ExitedWithCode(1), "fatal: df: need a <disk device\\|name> argument");
    s->argument = argument;
}

} // namespace
