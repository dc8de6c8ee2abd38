// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The FIFO writer's batches: whole lines queued and written together up to
// a quarter of the FIFO's size, and what a reader sees when a write is
// taken only in part: whole lines in order, the line the write stopped in
// finished before anything else, the lines after it dropped and counted.
#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "auth_check.h"
#include "intake.h"
#include "output.h"
#include "readconf.h"
#include "receiver.h"

namespace {

struct FifoBatch : ::testing::Test {
    int ends[2];
    output_state out;

    FifoBatch()
    {
        pipe2(ends, O_NONBLOCK);
        output_init(&out, ends[1]);
    }
    ~FifoBatch() override
    {
        output_finish(&out);
        close(ends[0]);
        close(ends[1]);
    }
    int waiting()
    {
        int n = 0;
        ioctl(ends[0], FIONREAD, &n);
        return n;
    }
    std::string drain()
    {
        std::string got;
        char buf[65536];
        for (ssize_t n; (n = read(ends[0], buf, sizeof(buf))) > 0;)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
};

std::string numbered(int i, size_t length)
{
    std::string line = "line " + std::to_string(i) + " ";
    line.resize(length - 1, 'x');
    return line + "\n";
}

TEST_F(FifoBatch, LinesShareWritesOfAQuarterOfTheFifo)
{
    int size = fcntl(ends[1], F_GETPIPE_SZ);
    ASSERT_GT(size, 0);
    EXPECT_EQ(size / 4, out.fifo.write_limit);
    // Lines wait until the next would pass the limit, then go in one write.
    std::string queued;
    int i = 0;
    while (queued.size() + 1000 <= static_cast<size_t>(out.fifo.write_limit)) {
        std::string line = numbered(i++, 1000);
        fifo_queue_line(&out.fifo, line.data(), static_cast<int>(line.size()));
        queued += line;
    }
    EXPECT_EQ(0, waiting());
    std::string next = numbered(i, 1000);
    fifo_queue_line(&out.fifo, next.data(), static_cast<int>(next.size()));
    EXPECT_EQ(static_cast<int>(queued.size()), waiting());
    fifo_flush(&out.fifo);
    EXPECT_EQ(queued + next, drain());
    // A line past PIPE_BUF goes at once, with those queued before it.
    std::string longer = numbered(i + 1, PIPE_BUF + 1);
    fifo_queue_line(&out.fifo, next.data(), static_cast<int>(next.size()));
    fifo_queue_line(&out.fifo, longer.data(), static_cast<int>(longer.size()));
    EXPECT_EQ(next + longer, drain());
    EXPECT_EQ(0, out.fifo.dropped);
}

TEST_F(FifoBatch, APartlyTakenWriteLeavesOnlyWholeLines)
{
    // The FIFO full but for a little room, then more lines than it holds.
    char junk[4096];
    memset(junk, 'j', sizeof(junk));
    while (write(ends[1], junk, sizeof(junk)) > 0) {
    }
    char room[3 * 4096 / 2 + 4096];
    ASSERT_EQ(static_cast<ssize_t>(sizeof(room)), read(ends[0], room, sizeof(room)));
    std::vector<std::string> lines;
    for (int i = 0; i < 30; i++) {
        lines.push_back(numbered(i, 700));
        fifo_queue_line(&out.fifo, lines.back().data(), static_cast<int>(lines.back().size()));
    }
    fifo_flush(&out.fifo);
    long dropped = out.fifo.dropped;
    EXPECT_GT(dropped, 0);
    // Read to the end, then a line more: the rest of the torn line comes
    // first, then it.
    std::string got = drain();
    std::string last = numbered(99, 50);
    fifo_queue_line(&out.fifo, last.data(), static_cast<int>(last.size()));
    fifo_flush(&out.fifo);
    got += drain();
    got = got.substr(got.find_first_not_of('j'));
    size_t whole = 0, at = 0;
    for (const std::string &line : lines)
        if (got.compare(at, line.size(), line) == 0) {
            at += line.size();
            whole++;
        }
    EXPECT_EQ(last, got.substr(at)) << "only whole lines before it";
    EXPECT_EQ(lines.size(), whole + static_cast<size_t>(dropped));
    EXPECT_EQ(dropped, out.fifo.dropped);
}

} // namespace
