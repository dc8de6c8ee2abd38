// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The stand-in's process table on this host's own /proc: each process's
// stat and statm stay open from one read of the table to the next, above
// descriptor 2 and on nothing but /proc, until the process has gone; past
// what the descriptor limit allows, the rest are read as before.
#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/user.h>

#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "probes.h"
#include "standin.h"

namespace {

// What each descriptor of this process is open on.
std::map<int, std::string> open_files()
{
    std::map<int, std::string> files;
    DIR *d = opendir("/proc/self/fd");
    for (dirent *e; d && (e = readdir(d));) {
        char target[256];
        ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof(target) - 1);
        if (n > 0 && atoi(e->d_name) != dirfd(d))
            files[atoi(e->d_name)] = std::string(target, static_cast<size_t>(n));
    }
    if (d)
        closedir(d);
    return files;
}

// The descriptors open on a process's stat (any process's: pid 0).
std::vector<int> on_stat(const std::map<int, std::string> &files, int pid)
{
    std::vector<int> fds;
    for (const auto &f : files) {
        int p = 0, end = 0;
        if (sscanf(f.second.c_str(), "/proc/%d/stat%n", &p, &end) == 1 && f.second[end] == '\0' &&
            (pid == 0 || p == pid))
            fds.push_back(f.first);
    }
    return fds;
}

// The table's length and whether pid is in it, read as the probe reads it.
size_t table(pid_t pid = 0, bool *listed = nullptr)
{
    int all[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    std::vector<kinfo_proc> procs(4096);
    size_t length = procs.size() * sizeof(kinfo_proc);
    EXPECT_EQ(0, sysctl(all, 3, procs.data(), &length, nullptr, 0));
    size_t count = length / sizeof(kinfo_proc);
    for (size_t i = 0; listed && i < count; i++)
        *listed = *listed || procs[i].ki_pid == pid;
    return count;
}

struct ProcFiles : ::testing::Test {
    pid_t child = fork();

    ProcFiles()
    {
        if (child == 0) {
            pause();
            _exit(0);
        }
        // The probe's kernel handle, new, on this host's /proc: none kept.
        standin_set_root("");
        proc_prepare();
    }
    ~ProcFiles() override
    {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
};

TEST_F(ProcFiles, StayOpenUntilTheProcessHasGone)
{
    std::map<int, std::string> before = open_files();
    bool listed = false;
    size_t processes = table(child, &listed);
    ASSERT_TRUE(listed);
    std::map<int, std::string> kept = open_files();
    std::vector<int> child_stat = on_stat(kept, child);
    ASSERT_EQ(1u, child_stat.size());
    size_t added = 0;
    for (const auto &f : kept)
        if (!before.count(f.first)) {
            added++;
            EXPECT_GT(f.first, 2);
            EXPECT_EQ(0u, f.second.rfind("/proc/", 0)) << f.second;
        }
    std::string statm = "/proc/" + std::to_string(child) + "/statm";
    EXPECT_EQ(1, std::count_if(kept.begin(), kept.end(), [&](const auto &f) { return f.second == statm; }));
    EXPECT_GE(added, 2 * processes - 4) << "nearly every process's: some may have gone since";

    // Read again through the same descriptors; closed once the child is gone.
    table();
    EXPECT_EQ(child_stat, on_stat(open_files(), child));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    listed = false;
    table(child, &listed);
    EXPECT_FALSE(listed);
    kept = open_files();
    EXPECT_TRUE(on_stat(kept, child).empty());
    for (const auto &f : kept)
        EXPECT_NE(statm, f.second);
}

TEST_F(ProcFiles, KeptWithinAQuarterOfTheDescriptorLimit)
{
    // Room for what is open now twice over, a quarter of it for processes.
    rlimit saved, low;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    low = saved;
    low.rlim_cur = 2 * open_files().size() + 64;
    size_t processes = table(), room = low.rlim_cur / 4;
    proc_prepare();
    ASSERT_LT(room, processes);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    size_t listed = table();
    size_t kept = on_stat(open_files(), 0).size();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_NEAR(static_cast<double>(processes), static_cast<double>(listed), 4) << "all still listed";
    EXPECT_EQ(room, kept);
}

} // namespace
