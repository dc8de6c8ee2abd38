// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The proc probe against the stand-in pointed at fixture process tables.
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "codec.h"
#include "error.h"
#include "log_capture.h"
#include "probes.h"
#include "standin.h"
#include "temp_dir.h"
#include "types.h"

namespace {

const uint64_t PAGE = 4096;

// The eight values of a proc record, the percentage as its wire integer.
struct proc_values {
    uint32_t count;
    uint64_t uticks, sticks, iticks;
    uint32_t seconds;
    uint16_t percent;
    uint32_t size, resident;
};

struct ProcProbe : ::testing::Test {
    temp_dir fixture;
    log_capture log;
    stream *s = nullptr;

    ProcProbe()
    {
        fixture.write("proc/uptime", "100.00 180.00\n");
        fixture.write("proc/sys/kernel/pid_max", "4194304\n");
    }
    ~ProcProbe() override
    {
        standin_set_root("");
        standin_set_proc_kernel(0, 0);
        stream_list list = {s};
        stream_list_free(&list);
    }

    void add(int pid, const std::string &comm, uint64_t utime, uint64_t stime,
             uint64_t start = 0, uint64_t text = 0, uint64_t data = 0, uint64_t resident = 0)
    {
        auto n = [](uint64_t v) { return std::to_string(v); };
        std::string dir = "proc/" + n(pid);
        // pid (comm) state ppid ... utime stime ... nice threads 0 starttime vsize rss
        fixture.write(dir + "/stat", n(pid) + " (" + comm + ") S 1 1 1 0 -1 0 0 0 0 0 " + n(utime) +
                                         " " + n(stime) + " 0 0 20 0 1 0 " + n(start) + " 0 0\n");
        // size resident shared text lib data dt
        fixture.write(dir + "/statm",
                      "0 " + n(resident) + " 0 " + n(text) + " 0 " + n(data) + " 0\n");
    }
    // The stand-in reads the tree, the probe opens kernel memory there and
    // starts a stream.
    void open_tree(const char *argument)
    {
        standin_set_root(fixture.path().c_str());
        proc_prepare();
        s = stream_new(STREAM_PROC, argument);
        proc_start(s);
    }

    proc_values pack(const char *argument)
    {
        stream *p = stream_new(STREAM_PROC, argument);
        uint8_t buf[128] = {};
        int n = proc_pack(buf, sizeof(buf), p);
        size_t at = 2 + strlen(argument);
        EXPECT_EQ(static_cast<int>(at + 42), n);
        stream_list list = {p};
        stream_list_free(&list);
        const uint8_t *v = buf + at;
        return {decode_fixed32(v),      decode_fixed64(v + 4),  decode_fixed64(v + 12),
                decode_fixed64(v + 20), decode_fixed32(v + 28), decode_fixed16(v + 32),
                decode_fixed32(v + 34), decode_fixed32(v + 38)};
    }
};

TEST_F(ProcProbe, PrefixMatchSumsTicksSecondsAndSizes)
{
    standin_set_proc_kernel(128, 0);
    add(10, "sshd", 1000, 200, 0, 100, 900, 300);
    add(11, "ssh-agent", 50, 30, 0, 10, 90, 20);
    add(12, "bash", 128, 0, 0, 50, 50, 40);
    // Sums past 32 bits stop at the largest value instead of wrapping:
    // two processes of 3 GiB, nearly five billion CPU seconds.
    const uint64_t big = 3 * 1024 * 1024 / 4;
    add(13, "big", 0, 0, 0, 0, big, big);
    add(14, "big", 0, 0, 0, 0, big, big);
    add(15, "old", 600000000000, 0);
    open_tree("ssh");
    EXPECT_TRUE(log.has("started module proc(ssh)")) << log.dump();
    proc_sample();
    struct row {
        const char *argument;
        uint32_t count;
        uint64_t uticks, sticks;
        uint32_t seconds, size, resident;
    } rows[] = {
        {"ssh", 2, 1050, 230, 10, 1100 * PAGE, 320 * PAGE},
        {"sshd", 1, 1000, 200, 9, 1000 * PAGE, 300 * PAGE},
        {"", 6, 600000001178, 230, UINT32_MAX, UINT32_MAX, UINT32_MAX},
        {"big", 2, 0, 0, 0, UINT32_MAX, UINT32_MAX},
        {"old", 1, 600000000000, 0, UINT32_MAX, 0, 0},
        {"nobody", 0, 0, 0, 0, 0, 0},
    };
    for (const row &r : rows) {
        proc_values v = pack(r.argument);
        EXPECT_EQ(r.count, v.count) << r.argument;
        EXPECT_EQ(r.uticks, v.uticks) << r.argument;
        EXPECT_EQ(r.sticks, v.sticks) << r.argument;
        EXPECT_EQ(0u, v.iticks) << r.argument;
        EXPECT_EQ(r.seconds, v.seconds) << r.argument;
        EXPECT_EQ(r.size, v.size) << r.argument;
        EXPECT_EQ(r.resident, v.resident) << r.argument;
    }
    EXPECT_FALSE(log.contains("warning")) << log.dump();
}

TEST_F(ProcProbe, PercentageIsTheShareSinceThePreviousSnapshot)
{
    // Started at tick 8000 of 10000, busy for 1000: half a CPU each.
    for (int pid = 100; pid < 300; pid++)
        add(pid, "worker", 600, 400, 8000);
    open_tree("worker");
    proc_sample();
    // 10000 %, handed on as it is: 1000000 in 16 bits on the wire.
    EXPECT_EQ(1000000 % 65536, pack("worker").percent);
    // Ten seconds later with no more ticks: idle since the previous snapshot.
    fixture.write("proc/uptime", "110.00 190.00\n");
    proc_sample();
    EXPECT_EQ(0u, pack("worker").percent);
    // Then one of them busy for a quarter of the next ten seconds.
    fixture.write("proc/uptime", "120.00 200.00\n");
    add(100, "worker", 750, 500, 8000);
    proc_sample();
    EXPECT_EQ(2500u, pack("worker").percent);
}

TEST_F(ProcProbe, KernelMemoryFailures)
{
    add(10, "sshd", 1000, 200, 0, 100, 900, 300);
    add(11, "sshd", 5, 5);
    // Listed, but gone before it could be read: not in this tick's table.
    mkdir((fixture.path() + "/proc/12").c_str(), 0755);
    open_tree("sshd");
    proc_sample();
    // Gone between the snapshot and the kernel memory read: still counted.
    unlink((fixture.path() + "/proc/11/stat").c_str());
    proc_values v = pack("sshd");
    EXPECT_EQ(2u, v.count);
    EXPECT_EQ(1200u, v.uticks + v.sticks);
    EXPECT_TRUE(log.has("while reading kvm: cannot read 1376 bytes at 0xfffffe0000005800: "
                        "No such process"))
        << log.dump();

    // No kernel memory at all: one warning; no ticks, the rest still sent.
    temp_dir empty;
    standin_set_root(empty.path().c_str());
    log.clear();
    proc_prepare();
    standin_set_root(fixture.path().c_str());
    for (int tick = 0; tick < 2; tick++) {
        proc_sample();
        v = pack("sshd");
        EXPECT_EQ(1u, v.count);
        EXPECT_EQ(0u, v.uticks + v.sticks + v.iticks + v.seconds);
        EXPECT_EQ(1000 * PAGE, v.size);
        EXPECT_EQ(300 * PAGE, v.resident);
    }
    ASSERT_EQ(1u, log.lines().size()) << log.dump();
    EXPECT_EQ("while opening kvm (chrooted?): /proc: No such file or directory",
              log.lines()[0].text);
}

TEST_F(ProcProbe, SnapshotFollowsTheTable)
{
    for (int pid = 10; pid < 13; pid++)
        add(pid, "a", 1, 1);
    // The process limit (far above 8000) no longer sizes the snapshot.
    open_tree("a");
    proc_sample();
    EXPECT_EQ(3u, pack("a").count);
    // More than any snapshot so far has room for: the read asks for more.
    for (int pid = 20; pid < 320; pid++)
        add(pid, "a", 1, 1);
    proc_sample();
    EXPECT_EQ(303u, pack("a").count);
    EXPECT_FALSE(log.contains("warning")) << log.dump();
    // Records of another size than ours are refused.
    standin_set_proc_kernel(0, 1000);
    proc_sample();
    EXPECT_TRUE(log.has("proc size mismatch: got 303000 bytes, not dividable by "
                        "sizeof(kinfo_proc) 1088"))
        << log.dump();
    EXPECT_EQ(0u, pack("a").count);
}

TEST_F(ProcProbe, FatalLimits)
{
    daemonized = 0;
    open_tree("");
    // More processes than any other test here makes room for, so the read
    // comes up short; then bare entries (files: cheaper to remove than
    // directories), which the length query counts all the same.
    for (int pid = 1; pid <= 400; pid++)
        add(pid, "a", 1, 1);
    std::string first = fixture.write("proc/401", "");
    for (int pid = 402; pid <= 10001; pid++)
        link(first.c_str(), (fixture.path() + "/proc/" + std::to_string(pid)).c_str());
    EXPECT_EXIT(proc_sample(), ::testing::ExitedWithCode(1),
                "fatal: ../platform/FreeBSD/sm_proc.cpp:96: dynamic object limit \\(10000\\) "
                "exceeded for kinfo_proc structures");
    unlink((fixture.path() + "/proc/sys/kernel/pid_max").c_str());
    EXPECT_EXIT(proc_sample(), ::testing::ExitedWithCode(1),
                "fatal: ../platform/FreeBSD/sm_proc.cpp:87: sysctl failed: can't get kern.nproc");
}

} // namespace
