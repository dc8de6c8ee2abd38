// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include "error.h"
#include "lists.h"
#include "log_capture.h"
#include "net.h"
#include "socket_address.h"

namespace {

TEST(Net, NumericHostsResolveInTheirOwnFamilyOnly)
{
    log_capture log;
    resolved_host r;
    ASSERT_EQ(1, getip("127.0.0.1", AF_INET, &r));
    EXPECT_STREQ("127.0.0.1", r.host);
    EXPECT_EQ(AF_INET, r.address.ss_family);
    EXPECT_EQ(0, getip("127.0.0.1", AF_INET6, &r));
    EXPECT_TRUE(log.contains("getaddrinfo(127.0.0.1, 10): ")) << log.dump();
    ASSERT_EQ(1, getip("::1", AF_INET6, &r));
    EXPECT_STREQ("::1", r.host);
    EXPECT_EQ(0, getip("::1", AF_INET, &r));
}

TEST(Net, NamesResolveToNumericText)
{
    log_capture log;
    resolved_host r;
    ASSERT_EQ(1, getip("localhost", AF_INET, &r));
    EXPECT_STREQ("127.0.0.1", r.host);
    EXPECT_EQ(0, getip("no-such-host.invalid", AF_INET, &r));
}

static int same_address(const sockaddr_storage *a, const sockaddr_storage *b)
{
    return same_host(reinterpret_cast<const sockaddr *>(a), reinterpret_cast<const sockaddr *>(b));
}

TEST(Net, SameAddressComparesFamilyAndHostOnly)
{
    sockaddr_storage a = socket_address("127.0.0.1", 1), b = socket_address("127.0.0.1", 2), c = socket_address("127.0.0.2", 1);
    sockaddr_storage d = socket_address("::1", 1), e = socket_address("::1", 9);
    EXPECT_TRUE(same_address(&a, &b));
    EXPECT_FALSE(same_address(&a, &c));
    EXPECT_FALSE(same_address(&a, &d));
    EXPECT_TRUE(same_address(&d, &e));
    EXPECT_FALSE(same_address(nullptr, &a));
    EXPECT_FALSE(same_address(&a, nullptr));
    sockaddr_storage unix_a = {}, unix_b = {};
    unix_a.ss_family = unix_b.ss_family = AF_UNIX;
    EXPECT_FALSE(same_address(&unix_a, &unix_b));
}

TEST(Net, PassiveIpv6WildcardWithPort)
{
    sockaddr_storage out;
    memset(&out, 0xAA, sizeof(out));
    get_sockaddr(&out, AF_INET6, SOCK_DGRAM, AI_PASSIVE, nullptr, "2100");
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
    EXPECT_EQ(AF_INET6, in6->sin6_family);
    EXPECT_EQ(2100, ntohs(in6->sin6_port));
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr));
    // Beyond the address the storage is zero.
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(&out);
    for (size_t i = sizeof(sockaddr_in6); i < sizeof(out); i++)
        ASSERT_EQ(0, raw[i]);
}

TEST(Net, NumericNamesAndUnknownFallback)
{
    sockaddr_storage a = socket_address("::1", 2100);
    numeric_name n;
    EXPECT_EQ(0, name_address(&a, &n));
    EXPECT_STREQ("::1", n.host);
    EXPECT_STREQ("2100", n.service);
    sockaddr_storage bad = {};
    bad.ss_family = 250;
    EXPECT_NE(0, name_address(&bad, &n));
    EXPECT_STREQ("<unknown>", n.host);
    EXPECT_STREQ("<unknown>", n.service);
}

TEST(Net, CopyClearsTheRestOfTheStorage)
{
    sockaddr_storage from = socket_address("10.1.2.3", 77), to;
    memset(&to, 0xFF, sizeof(to));
    copy_sockaddr(reinterpret_cast<sockaddr *>(&from), &to);
    EXPECT_EQ(0, memcmp(&from, &to, sizeof(to)));
}

TEST(Net, LookupHelpersFillTheRecords)
{
    log_capture log;
    mux_list list = {};
    mux *m = mux_list_add(&list, "m");
    m->address = strdup("127.0.0.1");
    m->port = strdup("2100");
    sockaddr_storage address;
    lookup_mux_address(m, SOCK_DGRAM, &address);
    auto *in = reinterpret_cast<sockaddr_in *>(&address);
    EXPECT_EQ(2100, ntohs(in->sin_port));
    source *s = source_list_add(&m->sources, "::1");
    EXPECT_EQ(0, lookup_source_address(s, AF_INET));
    EXPECT_EQ(1, lookup_source_address(s, AF_INET6));
    EXPECT_EQ(AF_INET6, s->socket_address.sa.sa_family);
    mux_list_free(&list);
}

TEST(NetDeath, UnresolvableAddressesAreFatalWhereTheyMustBe)
{
    daemonized = 0;
    sockaddr_storage out;
    EXPECT_EXIT(get_sockaddr(&out, AF_INET, SOCK_DGRAM, AI_PASSIVE, "::1", "0"),
                ::testing::ExitedWithCode(1), "fatal: could not get sockaddr address");
    mux m = {};
    m.address = const_cast<char *>("no-such-host.invalid");
    m.port = const_cast<char *>("2100");
    EXPECT_EXIT(lookup_mux_address(&m, SOCK_DGRAM, &out), ::testing::ExitedWithCode(1),
                "fatal: could not get address information for no-such-host.invalid 2100");
}

} // namespace
