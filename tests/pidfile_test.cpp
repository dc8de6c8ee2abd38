// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The pid file lock, whatever the holder's file holds.
#include <gtest/gtest.h>
#include <string>

#include "error.h"
#include "pidfile.h"
#include "temp_dir.h"

namespace {

// Refused, the file kept as it is; the pid named only when there is one.
TEST(PidfileDeath, SecondLockIsRefusedNamingTheHolder)
{
    const char *named = "^fatal: already running, pid 1234: .*/run.pid is locked\n$";
    const char *unnamed = "^fatal: already running: .*/run.pid is locked\n$";
    const struct {
        const char *content;
        const char *message;
    } rows[] = {{"1234\n", named}, {"1234", named},        {"", unnamed},       {"12x\n", unnamed},
                {"-5\n", unnamed}, {" 7\n", unnamed},      {"1\n2\n", unnamed}, {"99999999999999999999\n", unnamed}};
    temp_dir dir;
    std::string path = dir.write("run.pid", "stale\n");
    pidfile first;
    ASSERT_EQ(1, pidfile_lock(&first, path.c_str()));
    EXPECT_EQ("", read_file(path));
    for (const auto &row : rows) {
        dir.write("run.pid", row.content);
        pidfile second;
        EXPECT_EXIT((daemonized = 0, pidfile_lock(&second, path.c_str())), ::testing::ExitedWithCode(1),
                    row.message)
            << row.content;
        EXPECT_EQ(row.content, read_file(path));
    }
}

} // namespace
