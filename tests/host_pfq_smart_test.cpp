// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The real monitor on this host. Linux has no packet filter: a pfq stream
// behaves as on a FreeBSD host without one and ends the monitor at its
// first measurement. A disk that takes no SCSI generic request (this
// test's own reading) gets a warning at every tick and sends nothing.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "daemon.h"
#include "packet_check.h"
#include "temp_dir.h"
#include "types.h"
#include "udp.h"

namespace {

const std::string PROBO = PROBO_BIN;

std::string conf_for(const temp_dir &dir, const std::string &streams, const udp_socket &l)
{
    return dir.write("probo.conf", "monitor { " + streams + " } every second stream to 127.0.0.1 port " +
                                       std::to_string(l.port()) + "\n");
}

TEST(HostPfq, WithoutPacketFilterTheFirstTickEndsTheMonitor)
{
    temp_dir dir;
    udp_socket listener("127.0.0.1");
    std::string conf = conf_for(dir, "load pfq(em0/std_out)", listener);
    std::string out;
    EXPECT_EQ(1, run_command(PROBO, {"-d", "-u", "-f", conf}, &out));
    const std::string open_warning =
        "warning: pfq: could not open \"/dev/pf\", No such file or directory\n";
    // At prepare, then at start; then the first measurement.
    size_t prepare = out.find(open_warning);
    size_t start = out.find(open_warning, prepare + 1);
    size_t started = out.find("started module pfq(em0/std_out)");
    size_t end = out.find("fatal: pfq: DIOCGETALTQS failed\n");
    ASSERT_NE(std::string::npos, end) << out;
    EXPECT_LT(prepare, start) << out;
    EXPECT_LT(start, started) << out;
    EXPECT_LT(started, end) << out;
    EXPECT_TRUE(listener.receive(0).empty());
}

// A block device this host lets us open that has no SCSI generic layer.
std::string disk_without_pass_through()
{
    DIR *d = opendir("/sys/block");
    std::string found;
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        std::string path = std::string("/dev/") + e->d_name;
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            continue;
        int version;
        bool generic = ioctl(fd, SG_GET_VERSION_NUM, &version) == 0;
        close(fd);
        if (!generic) {
            found = path;
            break;
        }
    }
    if (d)
        closedir(d);
    return found;
}

TEST(HostSmart, DiskWithoutAtaPassThroughSendsNothing)
{
    std::string disk = disk_without_pass_through();
    if (disk.empty())
        GTEST_SKIP() << "no openable disk without a SCSI generic layer";
    temp_dir dir;
    udp_socket listener("127.0.0.1");
    std::string conf = conf_for(dir, "load smart(" + disk + ")", listener);
    daemon_process d(PROBO, {"-d", "-u", "-f", conf});
    EXPECT_TRUE(d.wait_for("started module smart(" + disk + ")")) << d.output();
    for (int i = 0; i < 2; i++) {
        auto bytes = listener.receive(4000);
        ASSERT_FALSE(bytes.empty()) << d.output();
        EXPECT_EQ(std::vector<int>{STREAM_LOAD}, parse(bytes).types);
    }
    EXPECT_TRUE(d.wait_for_count("warning: smart: ioctl for drive '" + disk + "' failed: ", 2))
        << d.output();
}

} // namespace
