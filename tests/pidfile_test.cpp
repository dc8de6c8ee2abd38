// The pid file lock and the log that must reach syslog once detached.
#include <cstdarg>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <unistd.h>

#include "error.h"
#include "pidfile.h"
#include "temp_dir.h"

namespace {

// Whatever the holder wrote, a second lock is refused and the file kept;
// the pid is named only when the file holds one.
TEST(PidfileDeath, SecondLockIsRefusedNamingTheHolder)
{
    const struct {
        const char *content;
        const char *message;
    } rows[] = {
        {"1234\n", "^fatal: already running, pid 1234: .*/run.pid is locked\n$"},
        {"1234", "already running, pid 1234: "},
        {"", "^fatal: already running: .*/run.pid is locked\n$"},
        {"12x\n", "already running: "},
        {"-5\n", "already running: "},
        {" 7\n", "already running: "},
        {"1234\n5678\n", "already running: "},
        {"99999999999999999999999\n", "already running: "},
    };
    temp_dir dir;
    std::string path = dir.file("run.pid");
    pidfile first;
    ASSERT_EQ(1, pidfile_lock(&first, path.c_str()));
    for (const auto &row : rows) {
        dir.write("run.pid", row.content);
        pidfile second;
        EXPECT_EXIT((daemonized = 0, pidfile_lock(&second, path.c_str())),
                    ::testing::ExitedWithCode(1), row.message)
            << row.content;
        EXPECT_EQ(row.content, read_file(path));
    }
    pidfile_remove(&first);
}

TEST(Pidfile, WrittenOnceLockedAndRemovedOnlyWhereItStillIs)
{
    temp_dir dir;
    std::string path = dir.write("run.pid", "stale\n");
    pidfile pf;
    ASSERT_EQ(1, pidfile_lock(&pf, path.c_str()));
    EXPECT_EQ("", read_file(path));
    ASSERT_EQ(1, pidfile_write(&pf));
    EXPECT_EQ(std::to_string(getpid()) + "\n", read_file(path));
    pidfile_remove(&pf);
    EXPECT_NE(0, access(path.c_str(), F_OK));

    // Out of reach (moved away, as from inside a chroot): emptied, and
    // whatever now bears the name is left alone.
    ASSERT_EQ(1, pidfile_lock(&pf, path.c_str()));
    ASSERT_EQ(1, pidfile_write(&pf));
    std::string moved = dir.file("moved.pid");
    ASSERT_EQ(0, rename(path.c_str(), moved.c_str()));
    dir.write("run.pid", "other\n");
    pidfile_remove(&pf);
    EXPECT_EQ("", read_file(moved));
    EXPECT_EQ("other\n", read_file(path));

    pidfile none;
    EXPECT_EQ(0, pidfile_lock(&none, dir.file("missing/run.pid").c_str()));
    EXPECT_EQ(0, pidfile_write(&none));
    pidfile_remove(&none);
}

void log_to_stderr(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "%d ", priority);
    vfprintf(stderr, format, ap);
    va_end(ap);
}

TEST(SyslogDeath, FatalAfterDetachingReachesTheLog)
{
    EXPECT_EXIT((daemonized = 1, log_syslog = log_to_stderr, fatal("lost %d", 7)),
                ::testing::ExitedWithCode(1), "^3 lost 7$");
}

} // namespace
