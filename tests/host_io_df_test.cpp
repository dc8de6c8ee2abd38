// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The real monitor on this host: io and df figures against an independent
// reading (/proc/diskstats and df).
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "daemon.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN;
const std::string BUILD_DIR = PROBO.substr(0, PROBO.rfind('/'));

struct HostIoDf : ::testing::Test {
    temp_dir dir;
    udp_socket listener{"127.0.0.1"};

    std::vector<std::string> run(const std::string &stream)
    {
        return {"-d", "-u", "-f",
                dir.write("probo.conf", "monitor { " + stream + " } every second stream to 127.0.0.1 port " +
                                            std::to_string(listener.port()) + "\n")};
    }
    // The values of the packet's one stream, and its timestamp.
    std::vector<uint64_t> next(uint64_t *timestamp = nullptr)
    {
        auto bytes = listener.receive(4000);
        std::vector<uint64_t> v;
        if (bytes.empty())
            return v;
        received_packet p = parse(bytes);
        if (timestamp)
            *timestamp = p.header.timestamp;
        for (size_t i = 0; p.streams.size() == 1 && i < strlen(stream_type_format(p.streams[0].type)); i++)
            v.push_back(value_of(p.streams[0], static_cast<int>(i)));
        return v;
    }
};

// The diskstats figures of a device as io sends them, and its Linux name.
std::vector<uint64_t> diskstats(dev_t dev, std::string *name)
{
    std::ifstream in("/proc/diskstats");
    unsigned ma, mi;
    uint64_t r, rs, w, ws, skip;
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        if (f >> ma >> mi >> *name >> r >> skip >> rs >> skip >> w >> skip >> ws && makedev(ma, mi) == dev)
            return {r, w, 0, rs * 512, ws * 512};
    }
    return {};
}

// The disk under the build tree (vda is vd0, sda1 is itself), with data
// written and synced between two packets.
TEST_F(HostIoDf, IoFollowsDiskstats)
{
    struct stat st;
    ASSERT_EQ(0, stat(BUILD_DIR.c_str(), &st));
    std::string name;
    std::vector<uint64_t> before = diskstats(st.st_dev, &name);
    if (before.empty() || !(isdigit(name.back()) || name.size() == 3))
        GTEST_SKIP() << "the build tree is not on a disk named as sda, vda or sda1";
    std::string argument = isdigit(name.back()) ? name : name.substr(0, 2) + std::to_string(name[2] - 'a');
    daemon_process d(PROBO, run("io(" + argument + ")"));
    ASSERT_TRUE(d.wait_for("started module io(" + argument + ")")) << d.output();
    std::vector<uint64_t> a = next(), b;
    std::string file = BUILD_DIR + "/io-probe-test.data";
    std::vector<char> data(4 << 20, 'x');
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(static_cast<ssize_t>(data.size()), write(fd, data.data(), data.size()));
    EXPECT_EQ(0, fsync(fd));
    close(fd);
    unlink(file.c_str());
    uint64_t synced = static_cast<uint64_t>(time(nullptr)), at = 0;
    for (int i = 0; i < 4 && at <= synced; i++)
        b = next(&at);
    std::vector<uint64_t> after = diskstats(st.st_dev, &name);
    ASSERT_EQ(5u, a.size());
    ASSERT_EQ(5u, b.size());
    for (int i = 0; i < 5; i++) {
        EXPECT_LE(before[i], a[i]) << i;
        EXPECT_LE(a[i], b[i]) << i;
        EXPECT_LE(b[i], after[i]) << i;
    }
    EXPECT_GE(b[4] - a[4], data.size()) << "the data written shows up";
}

// df -B512: source, size, used, available.
std::vector<std::string> df(const std::string &path)
{
    std::string out;
    run_command("/bin/df", {"-B512", "--output=source,size,used,avail", path}, &out);
    std::istringstream lines(out.substr(out.find('\n') + 1));
    std::vector<std::string> r(4);
    lines >> r[0] >> r[1] >> r[2] >> r[3];
    return r;
}

// Others write to the same file system: some packet of ten must agree
// within one block with df of path read right after it.
void expect_df_figures(HostIoDf *t, const std::string &argument, const std::string &path)
{
    daemon_process d(PROBO, t->run("df(" + argument + ")"));
    ASSERT_TRUE(d.wait_for("started module df(" + argument + ")")) << d.output();
    std::vector<double> expected, got;
    for (int attempt = 0; attempt < 10 && (got.empty() || got != expected); attempt++) {
        while (!t->listener.receive(0).empty()) {
        }
        std::vector<uint64_t> v = t->next();
        std::vector<std::string> r = df(path);
        ASSERT_EQ(7u, v.size());
        EXPECT_EQ(0u, v[5] + v[6]) << "write counts";
        double size = std::stod(r[1]), used = std::stod(r[2]), available = std::stod(r[3]);
        expected = {size, size - used, available};
        got.clear();
        for (int i = 0; i < 3; i++)
            got.push_back(std::abs(static_cast<double>(v[i]) - expected[i]) <= 1 ? expected[i] : v[i]);
    }
    EXPECT_EQ(expected, got) << "blocks, free, available";
}

TEST_F(HostIoDf, DfOfTheBuildTree)
{
    std::vector<std::string> r = df(BUILD_DIR);
    ASSERT_FALSE(r[0].empty());
    expect_df_figures(this, r[0], BUILD_DIR);
}

// Named by its mount point, which no mount source equals.
TEST_F(HostIoDf, DfOfTheRootByItsMountPoint)
{
    expect_df_figures(this, "/", "/");
}

} // namespace
