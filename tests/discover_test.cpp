// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What each probe lists for TYPE(*), against one fixture tree, and the
// found streams of two muxes following the host as it changes.
#include <gtest/gtest.h>
#include <sstream>
#include <string>

#include "discover.h"
#include "log_capture.h"
#include "probe.h"
#include "probo.h"
#include "standin.h"
#include "temp_dir.h"
#include "types.h"

namespace {

const char NETDEV_HEADING[] = "Inter-| Receive\n face |bytes\n";

int figures_of_any(const char *, standin_fs_figures *f)
{
    *f = {4096, 100, 50, 50, 10, 5};
    return 1;
}

struct Discover : ::testing::Test {
    temp_dir fixture;
    log_capture log;

    Discover()
    {
        // CPU 1 is absent: its slot stays, all zeros.
        fixture.write("proc/stat", "cpu  1 1 1 1 0 0 0 0 0 0\ncpu0 5 0 5 90 0 0 0 0 0 0\n"
                                   "cpu2 5 0 5 90 0 0 0 0 0 0\n");
        fixture.write("proc/diskstats", "8 0 sda 1 0 1 0 1 0 1 0 0 0 0\n"
                                        "8 1 sda1 1 0 1 0 1 0 1 0 0 0 0\n");
        fixture.write("proc/filesystems", "nodev\tproc\nnodev\ttmpfs\nnodev\tdevtmpfs\n\text4\n");
        std::string mounts;
        for (const char *m : {"8:1 / ext4 /dev/sda1", "0:21 /proc proc proc", "0:6 /dev devtmpfs dev",
                              "0:24 /tmp tmpfs tmpfs", "8:2 /home ext4 /dev/sda2",
                              "8:1 /etc/hosts ext4 /dev/sda1"}) {
            std::string f[4];
            std::istringstream(m) >> f[0] >> f[1] >> f[2] >> f[3];
            mounts += "30 1 " + f[0] + " / " + f[1] + " rw - " + f[2] + " " + f[3] + " rw\n";
        }
        fixture.write("proc/self/mountinfo", mounts);
        interfaces({"lo", "em0", "em1"});
        standin_set_fs_reader(figures_of_any);
    }
    ~Discover() override
    {
        standin_set_fs_reader(nullptr);
        standin_set_root("");
    }
    void interfaces(const std::vector<std::string> &names)
    {
        std::string text = NETDEV_HEADING;
        for (const std::string &n : names)
            text += "  " + n + ": 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n";
        fixture.write("proc/net/dev", text);
        standin_set_root(fixture.path().c_str());
    }
};

void take(void *receiver, const char *name)
{
    *static_cast<std::string *>(receiver) += std::string(name) + " ";
}

TEST_F(Discover, EachProbeListsWhatTheHostHas)
{
    const struct {
        int type;
        const char *found;
    } cases[] = {
        {STREAM_CPU, "0 2 "},
        {STREAM_IF, "lo em0 em1 "},
        {STREAM_IO, "sd0 sda1 "},
        // Not the kernel's views, nor memory, nor the same file system again.
        {STREAM_DF, "/ /home "},
    };
    for (const auto &c : cases) {
        std::string found;
        probe_table[c.type].discover(take, &found);
        EXPECT_EQ(c.found, found) << stream_type_name(c.type);
    }
}

TEST_F(Discover, FoundStreamsFollowTheHostAndChangesAreToldOnce)
{
    mux_list muxes = {};
    for (const char *name : {"a", "b"}) {
        mux *m = mux_list_add(&muxes, name);
        pattern_list_add(&m->patterns, pattern_new(STREAM_IF));
        pattern_exclude(m->patterns.first, "lo");
    }
    // Named in a's braces: a sends it as named, not twice.
    mux_add_stream(muxes.first, STREAM_IF, "em0");
    sender_list senders = {};
    sender_list_make(&senders, &muxes);
    discovery d = {};
    d.period = 60;
    auto sent = [&](const mux *m) {
        std::string names;
        for (const stream *s = found_streams(&d, m)->first; s; s = s->next)
            names += std::string(s->argument) + " ";
        return names;
    };
    discover(&d, &senders, 1000);
    EXPECT_EQ("em1 ", sent(muxes.first));
    EXPECT_EQ("em1 em0 ", sent(muxes.first->next));
    EXPECT_EQ(1060, d.next_look);
    EXPECT_FALSE(log.contains("found")) << "the first look tells nothing";
    int size = senders.first->next->packet_size;
    const stream *kept = found_streams(&d, muxes.first->next)->first;

    interfaces({"lo", "em1", "epair0a"});
    discover(&d, &senders, 1060);
    EXPECT_EQ("epair0a em1 ", sent(muxes.first->next));
    EXPECT_EQ(kept, found_streams(&d, muxes.first->next)->first->next) << "em1 keeps its record";
    EXPECT_EQ(size + 2 + 7 + 80 - (2 + 3 + 80), senders.first->next->packet_size);
    EXPECT_EQ(1, log.count("if(epair0a) found"));
    EXPECT_EQ(1, log.count("if(em0) gone"));
    discovery_free(&d);
    sender_list_free(&senders);
    mux_list_free(&muxes);
}

} // namespace
