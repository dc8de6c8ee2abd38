// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The pfq probe against the stand-in's packet filter: the walk over ALTQ
// entries, each scheduler's statistics layout, the snapshot's growth and
// the failures that end the monitor.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <net/pfvar.h>
#include <net/altq/altq.h>
#include <net/altq/altq_cbq.h>
#include <net/altq/altq_hfsc.h>
#include <net/altq/altq_priq.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec.h"
#include "error.h"
#include "log_capture.h"
#include "probes.h"
#include "standin.h"
#include "types.h"

namespace {

typedef std::vector<uint64_t> values; // sent bytes, sent packets, dropped bytes, dropped packets

struct Pfq : ::testing::Test {
    log_capture log;
    std::vector<standin_altq> entries;
    standin_pf pf{};
    priq_classstats priq{};
    hfsc_classstats hfsc{};
    class_stats_t cbq{};

    Pfq()
    {
        priq.xmitcnt = {11, 1100};
        priq.dropcnt = {12, 1200};
        hfsc.xmit_cnt = {21, 2100};
        hfsc.drop_cnt = {22, 2200};
        cbq.xmit_cnt = {31, 3100};
        cbq.drop_cnt = {32, 3200};
    }
    ~Pfq() override { standin_set_pf(nullptr); }

    void add(const char *ifname, const char *qname, unsigned char scheduler, unsigned qid,
             const void *stats = nullptr, size_t size = 0)
    {
        entries.push_back({ifname, qname, scheduler, qid, stats, size});
    }
    void install(unsigned long failing = 0)
    {
        pf = {entries.data(), static_cast<unsigned>(entries.size()), failing};
        standin_set_pf(&pf);
    }
    // n PRIQ queues q0 to q(n-1) on em0.
    void queues(unsigned n)
    {
        static std::vector<std::string> names;
        entries.clear();
        names.resize(n);
        for (unsigned i = 0; i < n; i++) {
            names[i] = "q" + std::to_string(i);
            add("em0", names[i].c_str(), ALTQT_PRIQ, i + 1, &priq, sizeof(priq));
        }
        install();
    }

    // What a stream naming the queue sends; empty when it sends nothing.
    values packed(const char *name)
    {
        stream *s = stream_new(STREAM_PFQ, name);
        uint8_t buf[160] = {};
        int n = pfq_pack(buf, sizeof(buf), s);
        stream_list list = {s};
        stream_list_free(&list);
        values v;
        if (n == 0)
            return v;
        size_t at = 2 + strlen(name);
        EXPECT_EQ(static_cast<int>(at + 32), n);
        EXPECT_EQ(STREAM_PFQ, buf[0]);
        for (int i = 0; i < 4; i++)
            v.push_back(decode_fixed64(buf + at + 8 * i));
        return v;
    }
};

TEST_F(Pfq, EachSchedulerFromItsOwnLayout)
{
    add("em0", "", ALTQT_PRIQ, 0);
    add("em0", "hi", ALTQT_PRIQ, 1, &priq, sizeof(priq));
    add("em0", "bulk", ALTQT_HFSC, 2, &hfsc, sizeof(hfsc));
    add("em1", "", ALTQT_CBQ, 0);
    add("em1", "std", ALTQT_CBQ, 3, &cbq, sizeof(cbq));
    add("em1", "odd", ALTQT_FAIRQ, 4, &cbq, sizeof(cbq));
    install();
    pfq_sample();
    const struct {
        const char *name;
        values expected;
    } cases[] = {
        {"em0/hi", {1100, 11, 1200, 12}},
        {"em0/bulk", {2100, 21, 2200, 22}},
        {"em1/std", {3100, 31, 3200, 32}},
        {"em1/odd", {0, 0, 0, 0}}, // unknown scheduler: still a queue, nothing trusted
        {"em0/", {}},              // the interface's own entry is no queue
        {"em1/", {}},
        {"em2/std", {}},
        {"em0/hi ", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, packed(c.name)) << c.name;
    EXPECT_EQ(1, log.count("pfq: unknown altq scheduler type encountered")) << log.dump();
    pfq_sample();
    EXPECT_EQ(2, log.count("pfq: unknown altq scheduler type encountered"));
}

TEST_F(Pfq, NoEntriesLeaveNothingToSend)
{
    queues(2);
    pfq_sample();
    EXPECT_EQ((values{1100, 11, 1200, 12}), packed("em0/q1"));
    queues(0);
    pfq_sample();
    EXPECT_EQ(values{}, packed("em0/q1"));
}

TEST_F(Pfq, SnapshotRoomIsTwiceTheLargestCount)
{
    // A process of its own, so the snapshot starts empty whatever ran before.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string seen;
            for (unsigned n : {3u, 5u, 7u}) {
                queues(n);
                pfq_sample();
                std::string last = "em0/q" + std::to_string(n - 1);
                seen += std::to_string(pfq_capacity()) + (packed(last.c_str()).empty() ? "- " : "+ ");
            }
            fprintf(stderr, "capacities %s\n", seen.c_str());
            exit(0);
        },
        ::testing::ExitedWithCode(0), "capacities 6\\+ 6\\+ 14\\+ ");
}

TEST_F(Pfq, FailuresEndTheMonitor)
{
    const struct {
        unsigned long failing;
        unsigned count;
        const char *message;
    } cases[] = {
        {DIOCGETALTQS, 2, "fatal: pfq: DIOCGETALTQS failed"},
        {DIOCGETALTQ, 2, "fatal: pfq: DIOCGETALTQ failed"},
        {DIOCGETQSTATS, 2, "fatal: pfq: DIOCGETQSTATS failed"},
        {0, 5001,
         "fatal: ../platform/FreeBSD/sm_pfq.cpp:160: dynamic object limit \\(10000\\) exceeded "
         "for pf queue structures"},
    };
    for (const auto &c : cases) {
        queues(c.count);
        install(c.failing);
        EXPECT_EXIT((daemonized = 0, pfq_sample()), ::testing::ExitedWithCode(1), c.message);
    }
    // 5000 entries fill the limit exactly.
    EXPECT_EXIT((queues(5000), pfq_sample(), exit(0)), ::testing::ExitedWithCode(0), "");
}

} // namespace
