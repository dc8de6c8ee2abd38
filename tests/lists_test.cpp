// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>

#include "lists.h"
#include "log_capture.h"
#include "net.h"
#include "socket_address.h"
#include "types.h"

namespace {

struct Lists : ::testing::Test {
    log_capture log;
    mux_list muxes = {};
    ~Lists() override { mux_list_free(&muxes); }
};

TEST_F(Lists, DuplicateStreamIsRefused)
{
    mux *m = mux_list_add(&muxes, "<unknown mux>");
    ASSERT_NE(nullptr, mux_add_stream(m, STREAM_CPU, "0"));
    EXPECT_EQ(nullptr, mux_add_stream(m, STREAM_CPU, "0"));
    EXPECT_EQ(nullptr, m->streams.first->next);
    // Same argument, other type: another stream.
    EXPECT_NE(nullptr, mux_add_stream(m, STREAM_IO1, "0"));
    EXPECT_NE(nullptr, mux_find_stream(m, STREAM_CPU, "0"));
}

TEST_F(Lists, ListsWalkInReverseOrderOfAddition)
{
    mux *m = mux_list_add(&muxes, "m");
    mux_add_stream(m, STREAM_CPU, "first");
    mux_add_stream(m, STREAM_CPU, "second");
    mux_add_stream(m, STREAM_CPU, "third");
    const char *expect[] = {"third", "second", "first"};
    int i = 0;
    for (stream *s = m->streams.first; s; s = s->next)
        EXPECT_STREQ(expect[i++], s->argument);
    EXPECT_EQ(3, i);
    mux_list_add(&muxes, "n");
    EXPECT_STREQ("n", muxes.first->name);
}

TEST_F(Lists, RenameRefusesAnyTakenName)
{
    mux *a = mux_list_add(&muxes, "a");
    mux *b = mux_list_add(&muxes, "b");
    EXPECT_EQ(nullptr, mux_list_rename(&muxes, a, "a"));
    EXPECT_EQ(nullptr, mux_list_rename(&muxes, a, "b"));
    EXPECT_EQ(a, mux_list_rename(&muxes, a, "c"));
    EXPECT_STREQ("c", a->name);
    EXPECT_EQ(nullptr, mux_list_add(&muxes, "b"));
    EXPECT_EQ(b, mux_list_find(&muxes, "b"));
    EXPECT_EQ(nullptr, mux_list_rename(nullptr, a, "d"));
    EXPECT_EQ(nullptr, mux_list_rename(&muxes, nullptr, "d"));
}

TEST_F(Lists, SourceStreamsMatchTypeAndExactArgument)
{
    source_list sources = {};
    source *s = source_list_add(&sources, "10.0.0.5");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(nullptr, source_list_add(&sources, "10.0.0.5"));
    EXPECT_EQ(nullptr, source_list_add(nullptr, "x"));
    stream *load = source_add_stream(s, STREAM_LOAD, "");
    EXPECT_EQ(load, source_find_stream(s, STREAM_LOAD, ""));
    EXPECT_EQ(nullptr, source_find_stream(s, STREAM_LOAD, nullptr));
    EXPECT_EQ(nullptr, source_find_stream(nullptr, STREAM_LOAD, ""));
    EXPECT_EQ(nullptr, source_add_stream(nullptr, STREAM_LOAD, ""));
    EXPECT_EQ(s, source_list_find(&sources, "10.0.0.5"));
    source_list_free(&sources);
}

TEST_F(Lists, SourcesAreFoundByAddressIgnoringPort)
{
    source_list sources = {};
    source *s = source_list_add(&sources, "127.0.0.1");
    sockaddr_storage configured = socket_address("127.0.0.1", 1);
    source_set_address(s, &configured);
    sockaddr_storage from = socket_address("127.0.0.1", 5555);
    EXPECT_EQ(s, source_list_find_by_address(&sources, &from));
    from = socket_address("127.0.0.2", 5555);
    EXPECT_EQ(nullptr, source_list_find_by_address(&sources, &from));
    source_list empty = {};
    EXPECT_EQ(nullptr, source_list_find_by_address(&empty, &from));
    EXPECT_EQ(nullptr, source_list_find_by_address(nullptr, &from));
    source_list_free(&sources);
}

TEST_F(Lists, LoneLoadGetsA24ByteSendBuffer)
{
    mux *m = mux_list_add(&muxes, "m");
    mux_add_stream(m, STREAM_LOAD, "");
    EXPECT_EQ(8, stream_list_wire_size(&m->streams));
    EXPECT_EQ(24, mux_send_size(m));
    EXPECT_TRUE(log.has("probo packet size=24"));
}

TEST_F(Lists, NarrowTypesGetRoomForTheWideRecordsActuallyPacked)
{
    struct {
        int type;
        int packed_record;
    } cases[] = {{STREAM_MEM1, 2 + 40}, {STREAM_IO1, 2 + 40}, {STREAM_IF1, 2 + 80}};
    for (auto c : cases) {
        mux_list list = {};
        mux *m = mux_list_add(&list, "m");
        mux_add_stream(m, c.type, "");
        EXPECT_EQ(15 + c.packed_record + 1, mux_send_size(m)) << c.type;
        // The receiving side still counts the configured type.
        EXPECT_EQ(2 + stream_type_byte_width(c.type), stream_list_wire_size(&m->streams));
        mux_list_free(&list);
    }
}

TEST_F(Lists, ReceiveBuffersAreTwiceTheLargestSource)
{
    mux *m = mux_list_add(&muxes, "m");
    // Twice the largest source, and room for an authenticator.
    EXPECT_EQ(32 + AUTH_SIZE, mux_receive_size(m));
    source *s = source_list_add(&m->sources, "10.0.0.1");
    source_add_stream(s, STREAM_LOAD, "");
    EXPECT_EQ(48 + AUTH_SIZE, mux_receive_size(m));
    EXPECT_TRUE(log.has("colvo packet size=81"));
    source *t = source_list_add(&m->sources, "10.0.0.2");
    source_add_stream(t, STREAM_IF, "em0");
    source_add_stream(t, STREAM_LOAD, "");
    EXPECT_EQ(2 + 3 + 80 + 8, source_list_max_wire_size(&m->sources));
}

TEST_F(Lists, ChurnBudgetCountsNamesArgumentsAndTextWidths)
{
    source_list sources = {};
    EXPECT_EQ(0, source_list_max_text_size(&sources));
    source *s = source_list_add(&sources, "10.0.0.5");
    source_add_stream(s, STREAM_CPU, "0");
    EXPECT_EQ(8 + 1 + (3 + 1 + 40 + 27), source_list_max_text_size(&sources));
    source_list_free(&sources);
}

TEST_F(Lists, OversizedConfigurationsAreCappedOnBothSides)
{
    mux *m = mux_list_add(&muxes, "m");
    // One load stream whose argument makes the list exactly 65500 bytes.
    std::string arg(65500 - 8, 'x');
    mux_add_stream(m, STREAM_LOAD, arg.c_str());
    ASSERT_EQ(65500, stream_list_wire_size(&m->streams));
    EXPECT_EQ(65515, mux_send_size(m));
    EXPECT_TRUE(log.has("transport max packet size is not enough to transport all streams"));
    log.clear();
    source *s = source_list_add(&m->sources, "10.0.0.1");
    source_add_stream(s, STREAM_LOAD, arg.c_str());
    EXPECT_EQ(65515, mux_receive_size(m));
    EXPECT_TRUE(log.has("transport max packet size is not enough to transport all streams"));
}

// Packed, a source's streams keep their order, texts, files and lookups,
// lie in one block; an indexed list keeps its records.
TEST_F(Lists, PackedStreamsKeepWhatTheyWere)
{
    source_list sources = {};
    source *a = source_list_add(&sources, "a"), *big = source_list_add(&sources, "big");
    const char *arguments[] = {"em0", "", "a much longer argument than the record", "x"};
    for (const char *argument : arguments)
        source_add_stream(a, STREAM_IF, argument)->rrd_file = strdup(argument);
    for (int i = 0; i < 16; i++)
        source_add_stream(big, STREAM_CPU, std::to_string(i).c_str());
    for (source *src = sources.first; src; src = src->next)
        source_pack_streams(src);
    ASSERT_NE(0u, a->packed);
    EXPECT_EQ(0u, big->packed);
    const char *block = reinterpret_cast<const char *>(a->streams.first);
    int i = 4;
    for (const stream *s = a->streams.first; s; s = s->next) {
        const char *at = reinterpret_cast<const char *>(s);
        EXPECT_TRUE(at >= block && at + sizeof(stream) <= block + a->packed);
        EXPECT_STREQ(arguments[--i], s->argument);
        EXPECT_STREQ(arguments[i], s->rrd_file);
        EXPECT_EQ(s, source_find_stream(a, STREAM_IF, arguments[i]));
    }
    EXPECT_EQ(0, i);
    EXPECT_NE(nullptr, source_find_stream(big, STREAM_CPU, "15"));
    source_prefetch_streams(a);
    source_list_free(&sources);
}

TEST(ListsDeath, NoStreamJoinsAPackedSource)
{
    source_list sources = {};
    source_add_stream(source_list_add(&sources, "a"), STREAM_LOAD, "");
    source_pack_streams(sources.first);
    EXPECT_EXIT(source_add_stream(sources.first, STREAM_MEM, ""), ::testing::ExitedWithCode(1),
                "stream added to a packed source");
    source_list_free(&sources);
}

TEST_F(Lists, FreeAcceptsAbsentLists)
{
    mux_list_free(nullptr);
    source_list_free(nullptr);
    stream_list_free(nullptr);
}

TEST(ListsDeath, UnknownStreamTypeIsFatal)
{
    EXPECT_EXIT(stream_new(20, ""), ::testing::ExitedWithCode(1),
                "internal error: stream type unknown");
}

// The source's address as a socket address.
static sockaddr_storage source_socket_address(const source *s)
{
    sockaddr_storage address = {};
    memcpy(&address, &s->socket_address, sizeof(s->socket_address));
    return address;
}

// A source keeps an IPv4 or IPv6 address whole, port included, in its
// compact form, and no other family.
TEST_F(Lists, SourceAddressesKeepIPv4AndIPv6Whole)
{
    source_list sources = {};
    source *s = source_list_add(&sources, "x");
    for (const char *text : {"192.0.2.7", "2001:db8::5"}) {
        sockaddr_storage a = socket_address(text, 4242);
        ASSERT_EQ(1, source_set_address(s, &a));
        sockaddr_storage back = source_socket_address(s);
        EXPECT_EQ(0, memcmp(&a, &back, sizeof(a))) << text;
    }
    sockaddr_storage local = {};
    local.ss_family = AF_UNIX;
    EXPECT_EQ(0, source_set_address(s, &local));
    EXPECT_EQ(AF_INET6, s->socket_address.sa.sa_family);
    source_list_free(&sources);
}

// The indexes answer as a walk of the list would, at any size.
TEST_F(Lists, IndexesGiveTheFirstMatchOfAWalk)
{
    source_list sources = {};
    const char *names[] = {"10.0.0.1", "::1", "0::1", "10.0.0.2"};
    for (const char *name : names) {
        sockaddr_storage a = socket_address(name, 1);
        source_set_address(source_list_add(&sources, name), &a);
    }
    for (int i = 0; i < 500; i++) {
        std::string name = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        sockaddr_storage a = socket_address(name.c_str(), 1);
        source_set_address(source_list_add(&sources, name.c_str()), &a);
    }
    source_list_index_addresses(&sources);
    for (const char *name : {"10.0.0.1", "::1", "10.1.1.249", "10.0.0.2"}) {
        sockaddr_storage from = socket_address(name, 4242);
        const source *walked = nullptr;
        for (const source *s = sources.first; s && !walked; s = s->next)
            if (same_host(&s->socket_address.sa, reinterpret_cast<const sockaddr *>(&from)))
                walked = s;
        EXPECT_EQ(walked, source_list_find_by_address(&sources, &from)) << name;
    }
    // "0::1" was added later than "::1": first in the walk, it wins.
    sockaddr_storage loop6 = socket_address("::1", 9);
    EXPECT_STREQ("0::1", source_list_find_by_address(&sources, &loop6)->name);
    sockaddr_storage stranger = socket_address("10.9.9.9", 1);
    EXPECT_EQ(nullptr, source_list_find_by_address(&sources, &stranger));

    source *s = sources.first;
    for (int i = 0; i < 300; i++)
        source_add_stream(s, STREAM_IF, ("em" + std::to_string(i)).c_str());
    EXPECT_EQ(nullptr, source_add_stream(s, STREAM_IF, "em7"));
    EXPECT_STREQ("em299", source_find_stream(s, STREAM_IF, "em299")->argument);
    EXPECT_EQ(nullptr, source_find_stream(s, STREAM_IF1, "em299"));
    source_list_free(&sources);

    // Renaming moves a mux in its index; every old name is free again.
    for (int i = 0; i < 300; i++) {
        mux *m = mux_list_add(&muxes, "<unknown mux>");
        ASSERT_EQ(m, mux_list_rename(&muxes, m, ("mux " + std::to_string(i)).c_str()));
    }
    EXPECT_EQ(nullptr, mux_list_find(&muxes, "<unknown mux>"));
    EXPECT_STREQ("mux 123", mux_list_find(&muxes, "mux 123")->name);
    EXPECT_EQ(nullptr, mux_list_rename(&muxes, muxes.first, "mux 5"));
}

// Short stream lists are walked and get an index at some length: at every
// length, each stream added is found, and no other.
TEST_F(Lists, EveryStreamIsFoundAtEveryListLength)
{
    source_list sources = {};
    source *s = source_list_add(&sources, "10.0.0.1");
    for (int n = 0; n < 40; n++) {
        ASSERT_NE(nullptr, source_add_stream(s, STREAM_IO, std::to_string(n).c_str()));
        for (int i = 0; i <= n; i++) {
            const stream *found = source_find_stream(s, STREAM_IO, std::to_string(i).c_str());
            ASSERT_NE(nullptr, found) << i << " of " << n + 1;
            EXPECT_EQ(std::to_string(i), found->argument);
        }
        EXPECT_EQ(nullptr, source_find_stream(s, STREAM_IO, std::to_string(n + 1).c_str()));
        EXPECT_EQ(nullptr, source_find_stream(s, STREAM_DF, "0"));
        EXPECT_EQ(nullptr, source_add_stream(s, STREAM_IO, "0")) << "a duplicate at length " << n + 1;
    }
    source_list_free(&sources);
}

} // namespace
