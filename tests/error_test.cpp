// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>

#include "error.h"
#include "log_capture.h"
#include "xmalloc.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Terminal : ::testing::Test {
    int saved_debug = debug_mode, saved_daemonized = daemonized;
    Terminal() { daemonized = 0; }
    ~Terminal() override
    {
        debug_mode = saved_debug;
        daemonized = saved_daemonized;
    }
};

TEST_F(Terminal, LevelsGoToTheirStreamsWithTheirPrefixes)
{
    debug_mode = 0;
    CaptureStdout();
    CaptureStderr();
    info("plain %d", 1);
    warning("careful %s", "now");
    debug("hidden");
    std::string out = GetCapturedStdout(), err = GetCapturedStderr();
    EXPECT_EQ("plain 1\n", out);
    EXPECT_EQ("warning: careful now\n", err);

    debug_mode = 1;
    CaptureStdout();
    debug("shown %d", 2);
    EXPECT_EQ("debug: shown 2\n", GetCapturedStdout());
}

TEST_F(Terminal, MessagesAreCutTo200Characters)
{
    std::string long_text(300, 'x');
    CaptureStderr();
    warning("%s", long_text.c_str());
    EXPECT_EQ("warning: " + std::string(200, 'x') + "\n", GetCapturedStderr());
}

TEST(Syslog, OnceDaemonizedEverythingGoesToSyslog)
{
    log_capture log(false);
    std::string long_text(300, 'y');
    info("%s", long_text.c_str());
    warning("w");
    debug("dropped without -d");
    ASSERT_EQ(2u, log.lines().size());
    EXPECT_EQ(LOG_INFO, log.lines()[0].priority);
    EXPECT_EQ(std::string(200, 'y'), log.lines()[0].text);
    EXPECT_EQ(LOG_WARNING, log.lines()[1].priority);
    EXPECT_EQ("w", log.lines()[1].text);
}

TEST(Syslog, DebugAndFatalPriorities)
{
    log_capture log(true);
    debug("d");
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(LOG_DEBUG, log.lines()[0].priority);
}

TEST(ErrorDeath, FatalExitsOneWithItsMessage)
{
    EXPECT_EXIT((daemonized = 0, fatal("going down %d", 7)), ::testing::ExitedWithCode(1),
                "^fatal: going down 7\n$");
}

TEST(ErrorDeath, UnknownLevelIsAnInternalError)
{
    va_list none{};
    EXPECT_EXIT((daemonized = 0, log_message(9, "x", none)), ::testing::ExitedWithCode(1),
                "error.cpp:[0-9]+:internal error: illegal loglevel encountered");
}

TEST(MemoryDeath, WrappersEndTheProcessWithTheirMessages)
{
    daemonized = 0;
    EXPECT_EXIT(xmalloc(0), ::testing::ExitedWithCode(1), "fatal: xmalloc: zero size");
    EXPECT_EXIT(xrealloc(nullptr, 0), ::testing::ExitedWithCode(1), "fatal: xrealloc: zero size");
    xfree(nullptr); // nothing to free is no fault
    EXPECT_EXIT(xmalloc(static_cast<size_t>(-1) / 2), ::testing::ExitedWithCode(1),
                "fatal: xmalloc: out of memory \\(allocating [0-9]+ bytes\\)");
    EXPECT_EXIT(xrealloc(nullptr, static_cast<size_t>(-1) / 2), ::testing::ExitedWithCode(1),
                "fatal: xrealloc: out of memory \\(new_size [0-9]+ bytes\\)");
}

TEST(Memory, ReallocOfNullAllocatesAndStrdupCopies)
{
    char *p = static_cast<char *>(xrealloc(nullptr, 4));
    p = static_cast<char *>(xrealloc(p, 8));
    xfree(p);
    char *copy = xstrdup("text");
    EXPECT_STREQ("text", copy);
    xfree(copy);
}

} // namespace

namespace {

time_t fake_now;
time_t fake_clock(time_t *)
{
    return fake_now;
}

TEST(LogLimits, ControlCharactersAreEscaped)
{
    log_capture log;
    warning("got '%s'", "a\nb\tc\\d\x01\x7f");
    EXPECT_TRUE(log.has("got 'a\\nb\\tc\\\\d\\001\\177'")) << log.dump();
}

// Per owner and message: a burst, then counting, then one summary when the
// message comes again after the window.
TEST(LogLimits, NetworkWarningsAreCountedPastTheBurst)
{
    log_capture log;
    log_clock = fake_clock;
    fake_now = 1000;
    int peer_a, peer_b;
    for (int i = 0; i < 20; i++) {
        limited_warning(&peer_a, "bad %s", "a");
        limited_warning(&peer_b, "bad %s", "b");
    }
    warning("bad %s", "unlimited");
    warning("bad %s", "unlimited");
    EXPECT_EQ(LOG_LIMIT_BURST, log.count("bad a"));
    EXPECT_EQ(LOG_LIMIT_BURST, log.count("bad b"));
    EXPECT_EQ(2, log.count("bad unlimited"));
    fake_now += LOG_LIMIT_WINDOW + 5;
    limited_warning(&peer_a, "bad %s", "a");
    EXPECT_TRUE(log.has("bad a: 15 more in the last 65 s")) << log.dump();
    EXPECT_EQ(LOG_LIMIT_BURST + 1, log.count("bad a"));
    log_clock = time;
}

} // namespace
