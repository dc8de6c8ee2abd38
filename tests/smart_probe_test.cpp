// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The smart probe against the stand-in's test disks: SMART data decoding,
// the drive table and the streams that share it, both ways to a disk (CAM
// and the ATA request), failing drives and fatal starts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "log_capture.h"
#include "probes.h"
#include "standin.h"
#include "temp_dir.h"
#include "types.h"

namespace {

typedef std::vector<int32_t> values;
typedef std::vector<std::pair<int, int>> attributes; // id, normalized value

// A SMART data page; the bytes around each value differ from it, so a
// misread offset shows.
std::string page(const attributes &list)
{
    std::string p(512, '\0');
    for (size_t k = 0; k < list.size(); k++) {
        char *entry = &p[2 + 12 * k];
        entry[0] = static_cast<char>(list[k].first);
        entry[1] = entry[2] = 0x33;
        entry[3] = static_cast<char>(list[k].second);
        entry[4] = 0x44;
        for (int i = 5; i < 11; i++)
            entry[i] = 0x55;
    }
    return p;
}

values decoded(const attributes &list)
{
    std::string p = page(list);
    values v(12, -1);
    smart_decode(reinterpret_cast<const uint8_t *>(p.data()), v.data());
    return v;
}

TEST(SmartDecode, SlotsFromAttributeIds)
{
    attributes thirty(30, {2, 77}); // ids outside the table fill every entry
    attributes past_the_end = thirty;
    past_the_end.push_back({1, 99});
    const struct {
        const char *name;
        attributes list;
        values expected;
    } cases[] = {
        {"first id 0", {{0, 50}, {194, 40}}, values(12, 0)},
        {"9 and 194 only", {{9, 98}, {194, 36}}, {0, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0}},
        {"duplicate id: the last wins", {{5, 100}, {197, 7}, {5, 90}},
         {0, 90, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0}},
        {"all twelve",
         {{254, 12}, {231, 11}, {221, 10}, {201, 9}, {198, 8}, {197, 7}, {196, 6}, {194, 5},
          {190, 4}, {10, 3}, {5, 2}, {1, 255}},
         {255, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"thirty entries, no more", past_the_end, values(12, 0)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, decoded(c.list)) << c.name;
}

struct Smart : ::testing::Test {
    temp_dir dir;
    log_capture log;
    std::vector<standin_disk> disks;
    std::vector<std::string> paths;
    std::vector<stream *> streams;

    ~Smart() override
    {
        standin_set_disks(nullptr, 0);
        for (stream *s : streams) {
            stream_list list = {s};
            stream_list_free(&list);
        }
    }
    // Disks answer only once all are made: the table must not move after.
    void make_disks(const std::vector<std::pair<int, attributes>> &list)
    {
        for (size_t i = 0; i < list.size(); i++)
            paths.push_back(dir.write("disk" + std::to_string(i), page(list[i].second)));
        for (size_t i = 0; i < list.size(); i++)
            disks.push_back({paths[i].c_str(), list[i].first, 0, 0});
        standin_set_disks(disks.data(), static_cast<int>(disks.size()));
    }
    stream *start(const std::string &argument)
    {
        streams.push_back(stream_new(STREAM_SMART, argument.c_str()));
        smart_start(streams.back());
        return streams.back();
    }
    values packed(stream *s)
    {
        uint8_t buf[2 + 1024 + 12 + 1] = {};
        int n = smart_pack(buf, sizeof(buf), s);
        values v;
        if (n == 0)
            return v;
        size_t at = 2 + strlen(s->argument);
        EXPECT_EQ(static_cast<int>(at + 12), n);
        EXPECT_EQ(STREAM_SMART, buf[0]);
        for (int i = 0; i < 12; i++)
            v.push_back(buf[at + i]);
        return v;
    }
};

const values SAMPLE = {100, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0};

TEST_F(Smart, CamAndAtaRequestsFailAndResume)
{
    make_disks({{1, {{1, 100}, {194, 40}}}, {0, {{1, 100}, {194, 40}}}});
    const char *failures[] = {"smart: ccb for drive '" , "smart: ioctl for drive '"};
    const char *texts[] = {"ATA status: 51, error: 04", "failed: Input/output error"};
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(disks[i].cam ? "CAM" : "ATA request");
        stream *s = start(paths[i]);
        EXPECT_TRUE(log.has("started module smart(" + paths[i] + ")"));
        smart_sample();
        EXPECT_EQ(1, disks[i].commands);
        EXPECT_EQ(SAMPLE, packed(s));

        disks[i].error = 0x04;
        log.clear();
        smart_sample();
        std::string warning = failures[i] + paths[i] + "' failed: ";
        EXPECT_TRUE(log.contains(warning)) << log.dump();
        EXPECT_TRUE(log.contains(texts[i])) << log.dump();
        EXPECT_EQ(values{}, packed(s));

        disks[i].error = 0;
        smart_sample();
        EXPECT_EQ(SAMPLE, packed(s));
        EXPECT_EQ(3, disks[i].commands);
    }
}

TEST_F(Smart, StreamsOnOnePathShareOneRecord)
{
    make_disks({{1, {{194, 33}}}});
    stream *a = start(paths[0]);
    stream *b = start(paths[0]);
    EXPECT_EQ(stream_probe_state(a)->smart.drive, stream_probe_state(b)->smart.drive);
    EXPECT_EQ(1, log.count("started module smart(" + paths[0] + ")"));
    smart_sample();
    EXPECT_EQ(1, disks[0].commands);
    EXPECT_EQ(33, packed(a).at(4));
    EXPECT_EQ(packed(a), packed(b));
}

TEST_F(Smart, TwoPathsToOneDiskAreTwoRecords)
{
    make_disks({{1, {{194, 33}}}});
    std::string link = dir.file("label");
    ASSERT_EQ(0, symlink(paths[0].c_str(), link.c_str()));
    stream *a = start(paths[0]);
    stream *b = start(link);
    EXPECT_NE(stream_probe_state(a)->smart.drive, stream_probe_state(b)->smart.drive);
    smart_sample();
    EXPECT_EQ(2, disks[0].commands);
    EXPECT_EQ(packed(a), packed(b));
}

TEST_F(Smart, EachDriveKeepsItsOwnDataAsTheTableGrows)
{
    std::vector<std::pair<int, attributes>> list;
    for (int i = 0; i < 6; i++)
        list.push_back({i % 2, {{194, 10 + i}}});
    make_disks(list);
    std::vector<stream *> mine;
    for (const std::string &p : paths)
        mine.push_back(start(p));
    smart_sample();
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(10 + i, packed(mine[i]).at(4)) << paths[i];
}

TEST_F(Smart, StartsThatEndTheMonitor)
{
    const struct {
        const char *argument;
        const char *message;
    } cases[] = {
        {"", "fatal: smart: need a <disk device\\|name> argument"},
        {"/nonexistent/ada9", "fatal: smart: cannot open '/nonexistent/ada9'"},
    };
    for (const auto &c : cases)
        EXPECT_EXIT((daemonized = 0, start(c.argument)), ::testing::ExitedWithCode(1), c.message);
}

} // namespace
