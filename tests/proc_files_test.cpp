// The stand-in's process table on this host's own /proc: each process's
// stat and statm stay open from one read of the table to the next, above
// descriptor 2 and on nothing but /proc, until the process has gone; past
// what the descriptor limit allows, the rest are read as before.
#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/user.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <climits>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "probes.h"
#include "standin.h"

namespace {

// What each descriptor of this process above 2 is open on.
std::map<int, std::string> open_files()
{
    std::map<int, std::string> files;
    DIR *d = opendir("/proc/self/fd");
    for (dirent *e; d && (e = readdir(d));) {
        int fd = atoi(e->d_name);
        char target[256];
        ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof(target) - 1);
        if (e->d_name[0] != '.' && n > 0 && fd != dirfd(d))
            files[fd] = std::string(target, static_cast<size_t>(n));
    }
    if (d)
        closedir(d);
    return files;
}

std::vector<int> descriptors_on(const std::map<int, std::string> &files, const std::string &path)
{
    std::vector<int> fds;
    for (const auto &f : files)
        if (f.second == path)
            fds.push_back(f.first);
    return fds;
}

// The table's pids, read as the probe reads it.
std::vector<int> table()
{
    int all[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    std::vector<kinfo_proc> procs(4096);
    size_t length = procs.size() * sizeof(kinfo_proc);
    EXPECT_EQ(0, sysctl(all, 3, procs.data(), &length, nullptr, 0));
    std::vector<int> pids;
    for (size_t i = 0; i < length / sizeof(kinfo_proc); i++)
        pids.push_back(procs[i].ki_pid);
    return pids;
}

struct ProcFiles : ::testing::Test {
    pid_t child = 0;
    std::string stat_path, statm_path;

    ProcFiles()
    {
        // The probe's kernel handle, on this host's /proc.
        standin_set_root("");
        proc_prepare();
        child = fork();
        if (child == 0) {
            pause();
            _exit(0);
        }
        stat_path = "/proc/" + std::to_string(child) + "/stat";
        statm_path = stat_path + "m";
    }
    ~ProcFiles() override
    {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
};

TEST_F(ProcFiles, StayOpenUntilTheProcessHasGone)
{
    std::map<int, std::string> before = open_files();
    std::vector<int> pids = table();
    ASSERT_NE(pids.end(), std::find(pids.begin(), pids.end(), child));
    std::map<int, std::string> kept = open_files();
    std::vector<int> on_stat = descriptors_on(kept, stat_path);
    ASSERT_EQ(1u, on_stat.size());
    EXPECT_EQ(1u, descriptors_on(kept, statm_path).size());
    size_t added = 0;
    for (const auto &f : kept) {
        if (before.count(f.first))
            continue;
        added++;
        EXPECT_GT(f.first, 2);
        EXPECT_EQ(0u, f.second.rfind("/proc/", 0)) << f.second;
    }
    EXPECT_GE(added, 2 * pids.size() - 4) << "nearly every process: some may have gone since";

    // Read again through the same descriptors.
    table();
    EXPECT_EQ(on_stat, descriptors_on(open_files(), stat_path));

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    pids = table();
    EXPECT_EQ(pids.end(), std::find(pids.begin(), pids.end(), child));
    std::map<int, std::string> after = open_files();
    EXPECT_TRUE(descriptors_on(after, stat_path).empty());
    EXPECT_TRUE(descriptors_on(after, statm_path).empty());
    child = 0;
}

TEST_F(ProcFiles, KeptWithinAQuarterOfTheDescriptorLimit)
{
    size_t listed = table().size();
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    // A new handle starts with none kept. Room for what is open then twice
    // over, and a quarter of it for the processes' files.
    proc_prepare();
    rlimit low = saved;
    low.rlim_cur = 2 * open_files().size() + 64;
    size_t room = low.rlim_cur / 4;
    ASSERT_LT(room, listed);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    // Every process is still in the table, as many of them kept open as
    // there is room for.
    size_t now_listed = table().size();
    size_t kept = 0;
    for (const auto &f : open_files()) {
        char tail[8] = "";
        int pid = 0;
        kept += sscanf(f.second.c_str(), "/proc/%d/%7s", &pid, tail) == 2 && strcmp(tail, "stat") == 0;
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_NEAR(static_cast<double>(listed), static_cast<double>(now_listed), 4);
    EXPECT_EQ(room, kept);
}

} // namespace
