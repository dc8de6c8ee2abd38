// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The FIFO line as its writer makes it and colvo-top reads it: the room
// the budget gives is enough for the widest values of every type, each
// entry's tail is the update text handed out, and the reader finds again
// what was written.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "fifoline.h"
#include "lists.h"
#include "topline.h"
#include "types.h"

namespace {

// Values whose field texts are the longest each format has.
unpacked_stream widest(int type, const char *argument)
{
    unpacked_stream u = {};
    u.type = type;
    snprintf(u.argument, sizeof(u.argument), "%s", argument);
    uint8_t *d = u.data;
    for (const char *f = stream_type_format(type); *f; f++) {
        const uint64_t all = ~0ull;
        const int64_t lowest = INT64_MIN;
        int width = value_byte_width(*f);
        memcpy(d, *f == 'D' ? static_cast<const void *>(&lowest) : &all, width);
        d += width;
    }
    return u;
}

TEST(FifoLine, BudgetHoldsTheWidestEntryOfEveryTypeAndTheReaderFindsIt)
{
    const char *host = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
    const std::string argument(PACKET_MAX_ARGUMENT, 'a');
    for (int type = 0; type < STREAM_TYPE_COUNT; type++) {
        if (!stream_type_named(type))
            continue;
        unpacked_stream u = widest(type, argument.c_str());
        // The churn buffer of a source that accepts only this stream.
        source_list sources = {};
        source_add_stream(source_list_add(&sources, host), type, argument.c_str());
        std::vector<char> buffer(static_cast<size_t>(source_list_max_text_size(&sources)));
        source_list_free(&sources);

        line_writer w;
        line_begin(&w, buffer.data(), static_cast<int>(buffer.size()), host);
        char *update = line_entry(&w, stream_type_name(type), u.argument, "4294967295", &u);
        ASSERT_NE(nullptr, update) << stream_type_name(type);
        std::string tail = update;
        line_entry_end(&w);
        std::string line(buffer.data(), static_cast<size_t>(line_finish(&w)));

        std::string head = std::string(host) + ";" + stream_type_name(type) + ":" + argument + ":";
        EXPECT_EQ(head + tail + ";\n", line);
        EXPECT_EQ(0u, tail.find("4294967295:"));

        topline_cursor c;
        char read_host[TOP_NAME_TEXT];
        top_entry e;
        ASSERT_TRUE(topline_host(&c, line.data(), line.size() - 1, read_host));
        EXPECT_STREQ(host, read_host);
        ASSERT_EQ(TOPLINE_ENTRY, topline_next(&c, &e)) << line;
        EXPECT_EQ(type, e.type);
        EXPECT_EQ(argument, e.argument);
        EXPECT_EQ(4294967295u, e.timestamp);
        EXPECT_EQ(static_cast<int>(strlen(stream_type_format(type))), e.count);
        EXPECT_EQ(TOPLINE_END, topline_next(&c, &e));
    }
}

// From the smallest buffer that holds the host up to the budget, the entry
// is either whole or not there at all, and once it fits it keeps fitting.
TEST(FifoLine, AnEntryThatDoesNotFitLeavesTheLineAsItWas)
{
    unpacked_stream u = widest(STREAM_LOAD, "");
    const std::string whole = "h;load::4294967295:655.35:655.35:655.35;\n";
    int budget = line_host_room("h") + line_entry_room(STREAM_LOAD, "");
    bool fitted = false;
    for (int size = 5; size <= budget; size++) {
        std::vector<char> buffer(static_cast<size_t>(size));
        line_writer w;
        line_begin(&w, buffer.data(), size, "h");
        bool fits = line_entry(&w, "load", "", "4294967295", &u) != nullptr;
        if (fits)
            line_entry_end(&w);
        std::string line(buffer.data(), static_cast<size_t>(line_finish(&w)));
        EXPECT_EQ(fits ? whole : "h;\n", line) << size;
        EXPECT_TRUE(fits || !fitted) << size;
        fitted = fits;
    }
    EXPECT_TRUE(fitted);
}

} // namespace
