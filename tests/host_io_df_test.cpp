// The real monitor on this host: io and df figures against an independent
// reading (/proc/diskstats and df).
#include <algorithm>
#include <cstring>
#include <ctime>
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

// The diskstats line of a block device: reads, writes, 0, bytes read and
// written, as the io stream carries them; empty when it is not there.
std::vector<uint64_t> diskstats(unsigned major_number, unsigned minor_number, std::string *name = nullptr)
{
    std::ifstream in("/proc/diskstats");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned ma, mi;
        std::string n;
        uint64_t r, rm, rs, rt, w, wm, ws;
        if (fields >> ma >> mi >> n >> r >> rm >> rs >> rt >> w >> wm >> ws && ma == major_number &&
            mi == minor_number) {
            if (name)
                *name = n;
            return {r, w, 0, rs * 512, ws * 512};
        }
    }
    return {};
}

// The argument that names a Linux device: sda1 and nvme0n1 as they are,
// whole disks named by one letter as name and unit (vda: vd0).
std::string argument_for(const std::string &name)
{
    if (isdigit(static_cast<unsigned char>(name.back())))
        return name;
    std::string stem = name.substr(0, name.size() - 1);
    if (stem == "sd" || stem == "vd" || stem == "hd" || stem == "xvd")
        return stem + std::to_string(name.back() - 'a');
    return "";
}

struct HostIoDf : ::testing::Test {
    temp_dir dir;
    udp_socket listener{"127.0.0.1"};

    std::string conf(const std::string &streams)
    {
        return dir.write("probo.conf", "monitor { " + streams + " } every second stream to 127.0.0.1 port " +
                                           std::to_string(listener.port()) + "\n");
    }
    std::vector<uint64_t> values(const received_packet &p)
    {
        std::vector<uint64_t> v;
        if (p.streams.size() == 1)
            for (int i = 0; i < static_cast<int>(strlen(stream_type_format(p.streams[0].type))); i++)
                v.push_back(value_of(p.streams[0], i));
        return v;
    }
    received_packet next()
    {
        auto bytes = listener.receive(4000);
        EXPECT_FALSE(bytes.empty()) << "no packet in time";
        return bytes.empty() ? received_packet{} : parse(bytes);
    }
};

// The disk under the build tree, with written data that must show up.
TEST_F(HostIoDf, IoFollowsDiskstats)
{
    struct stat st;
    ASSERT_EQ(0, stat(BUILD_DIR.c_str(), &st));
    std::string name;
    std::vector<uint64_t> before = diskstats(major(st.st_dev), minor(st.st_dev), &name);
    if (before.empty() || argument_for(name).empty())
        GTEST_SKIP() << "the build tree is not on a block device of its own";
    const std::string argument = argument_for(name);
    daemon_process d(PROBO, {"-d", "-u", "-f", conf("io(" + argument + ")")});
    ASSERT_TRUE(d.wait_for("started module io(" + argument + ")")) << d.output();
    received_packet first = next();
    ASSERT_EQ((std::vector<int>{STREAM_IO}), first.types);
    EXPECT_EQ(argument, first.streams[0].argument);

    const int MIB = 1 << 20;
    std::string file = BUILD_DIR + "/io-probe-test.data";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> data(4 * MIB, 'x');
    EXPECT_EQ(static_cast<ssize_t>(data.size()), write(fd, data.data(), data.size()));
    EXPECT_EQ(0, fsync(fd));
    close(fd);
    unlink(file.c_str());
    uint64_t synced = static_cast<uint64_t>(time(nullptr));
    received_packet later{};
    for (int i = 0; i < 4 && later.header.timestamp <= synced; i++)
        later = next();
    std::vector<uint64_t> after = diskstats(major(st.st_dev), minor(st.st_dev));

    std::vector<uint64_t> a = values(first), b = values(later);
    ASSERT_EQ(5u, a.size());
    ASSERT_EQ(5u, b.size());
    for (int i = 0; i < 5; i++) {
        EXPECT_LE(before[i], a[i]) << i;
        EXPECT_LE(a[i], b[i]) << i;
        EXPECT_LE(b[i], after[i]) << i;
    }
    EXPECT_EQ(0u, b[2]) << "seeks are not counted";
    EXPECT_GE(b[4] - a[4], static_cast<uint64_t>(4 * MIB)) << "the data written shows up";
}

struct df_reading {
    std::string source;
    uint64_t size = 0, used = 0, available = 0;
};

df_reading df(const std::string &path)
{
    std::string out;
    df_reading r;
    if (run_command("/bin/df", {"-B512", "--output=source,size,used,avail", path}, &out) != 0)
        return r;
    std::istringstream lines(out.substr(out.find('\n') + 1));
    lines >> r.source >> r.size >> r.used >> r.available;
    return r;
}

bool near(uint64_t a, uint64_t b)
{
    return a + 1 >= b && b + 1 >= a;
}

// Others write to the same file system: a packet is compared with df read
// right after it, and some packet of ten must agree within one block.
TEST_F(HostIoDf, DfOfTheBuildTree)
{
    df_reading r = df(BUILD_DIR);
    ASSERT_FALSE(r.source.empty());
    daemon_process d(PROBO, {"-d", "-u", "-f", conf("df(" + r.source + ")")});
    ASSERT_TRUE(d.wait_for("started module df(" + r.source + ")")) << d.output();
    std::vector<uint64_t> v;
    for (int attempt = 0; attempt < 10; attempt++) {
        while (!listener.receive(0).empty()) {
        }
        v = values(next());
        r = df(BUILD_DIR);
        ASSERT_EQ(7u, v.size());
        if (near(r.size, v[0]) && near(r.size - r.used, v[1]) && near(r.available, v[2]))
            break;
    }
    EXPECT_NEAR(r.size, v[0], 1) << "blocks";
    EXPECT_NEAR(r.size - r.used, v[1], 1) << "free";
    EXPECT_NEAR(r.available, v[2], 1) << "available";
    EXPECT_GT(v[3], 0u) << "files";
    EXPECT_EQ(0u, v[5] + v[6]) << "write counts";
}

} // namespace
