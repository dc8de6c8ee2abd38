// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The measurement pass: sampling once per type for due muxes only, packet
// building and the send error reports, with counting probes in the table.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "codec.h"
#include "crc32.h"
#include "error.h"
#include "log_capture.h"
#include "probo.h"
#include "udp.h"

namespace {

int samples[PROBE_TABLE_SIZE];
int packs[PROBE_TABLE_SIZE];

template <int T> void count_sample() { samples[T]++; }
template <int T> int32_t count_pack(uint8_t *buffer, int32_t space, stream *s)
{
    packs[T]++;
    return pack_stream(buffer, space, s->argument, STREAM_LOAD, 1.0, 2.0, 3.0);
}

struct Measure : ::testing::Test {
    log_capture log;
    probe_entry saved[PROBE_TABLE_SIZE];
    mux_list muxes = {};
    sender_list senders = {};
    udp_socket listener{"127.0.0.1"};

    Measure()
    {
        crc32_init_table();
        memcpy(saved, probe_table, sizeof(saved));
        memset(samples, 0, sizeof(samples));
        memset(packs, 0, sizeof(packs));
        probe_table[STREAM_LOAD].sample = count_sample<STREAM_LOAD>;
        probe_table[STREAM_LOAD].pack = count_pack<STREAM_LOAD>;
        probe_table[STREAM_MEM].sample = count_sample<STREAM_MEM>;
        probe_table[STREAM_MEM].pack = count_pack<STREAM_MEM>;
        probe_table[STREAM_MEM1].sample = count_sample<STREAM_MEM1>;
        probe_table[STREAM_MEM1].pack = count_pack<STREAM_MEM1>;
    }
    ~Measure() override
    {
        memcpy(probe_table, saved, sizeof(saved));
        sender_list_free(&senders);
        mux_list_free(&muxes);
    }

    sender *add_mux(const char *name, int interval, std::vector<int> types)
    {
        mux *m = mux_list_add(&muxes, name);
        m->interval = interval;
        m->address = strdup("127.0.0.1");
        m->port = strdup(std::to_string(listener.port()).c_str());
        for (int t : types)
            mux_add_stream(m, t, std::to_string(t).c_str());
        sender *s = sender_list_add(&senders, m);
        sender_size_packet(s);
        open_sender_socket(s);
        return s;
    }
};

TEST_F(Measure, GcdAndTick)
{
    EXPECT_EQ(5, gcd(10, 15));
    EXPECT_EQ(7, gcd(0, 7));
    EXPECT_EQ(7, gcd(7, 0));
    add_mux("a", 10, {STREAM_LOAD});
    add_mux("b", 15, {STREAM_LOAD});
    EXPECT_EQ(5, mux_list_tick(&muxes));
    mux_list empty_intervals = {};
    mux *z = mux_list_add(&empty_intervals, "z");
    z->interval = 0;
    EXPECT_EQ(1, mux_list_tick(&empty_intervals));
    mux_list_free(&empty_intervals);
}

TEST_F(Measure, EachTypeSampledOncePerMeasurementForDueMuxesOnly)
{
    sender *ten = add_mux("ten", 10, {STREAM_LOAD, STREAM_MEM});
    sender *fifteen = add_mux("fifteen", 15, {STREAM_LOAD, STREAM_MEM1});
    int tick = mux_list_tick(&muxes);
    int sent_ten = 0, sent_fifteen = 0;
    for (int i = 1; i <= 6; i++) {
        memset(samples, 0, sizeof(samples));
        memset(packs, 0, sizeof(packs));
        measure(&senders, 1000 + i * tick, tick);
        bool ten_due = i % 2 == 0, fifteen_due = i % 3 == 0;
        EXPECT_EQ(ten_due || fifteen_due ? 1 : 0, samples[STREAM_LOAD]) << i;
        EXPECT_EQ(ten_due ? 1 : 0, samples[STREAM_MEM]) << i;
        EXPECT_EQ(fifteen_due ? 1 : 0, samples[STREAM_MEM1]) << i;
        EXPECT_EQ((ten_due ? 1 : 0) + (fifteen_due ? 1 : 0), packs[STREAM_LOAD]) << i;
        sent_ten += ten_due;
        sent_fifteen += fifteen_due;
    }
    EXPECT_EQ(0, ten->elapsed);
    EXPECT_EQ(0, fifteen->elapsed);
    // Every packet that went out, in order, with one timestamp for both at i = 6.
    std::vector<uint64_t> stamps;
    for (int n = 0; n < sent_ten + sent_fifteen; n++) {
        auto p = listener.receive(1000);
        ASSERT_FALSE(p.empty());
        packet_header h;
        header_from_wire(p.data(), &h);
        EXPECT_EQ(p.size(), h.length);
        EXPECT_EQ(2, h.version);
        stamps.push_back(h.timestamp);
    }
    EXPECT_EQ((std::vector<uint64_t>{1010, 1015, 1020, 1030, 1030}), stamps);
}

TEST_F(Measure, PacketCarriesStreamsInListOrderWithItsCrc)
{
    add_mux("m", 5, {STREAM_LOAD, STREAM_MEM});
    measure(&senders, 4242, 5);
    auto p = listener.receive(1000);
    ASSERT_EQ(15u + 2 * (2 + 2 + 6), p.size());
    packet_header h;
    header_from_wire(p.data(), &h);
    EXPECT_EQ(4242u, h.timestamp);
    // Last configured first.
    EXPECT_EQ("12", std::string(reinterpret_cast<char *>(p.data() + 16)));
    EXPECT_EQ("16", std::string(reinterpret_cast<char *>(p.data() + 26)));
    uint32_t crc = h.crc;
    memset(p.data(), 0, 4);
    EXPECT_EQ(crc, crc32_compute(p.data(), p.size()));
}

TEST_F(Measure, TimingDecisions)
{
    EXPECT_EQ(MEASURE_NORMAL, decide_measurement(105, 100, 5));
    EXPECT_EQ(MEASURE_NORMAL, decide_measurement(110, 100, 5));
    EXPECT_EQ(MEASURE_SKIP, decide_measurement(104, 100, 5));
    EXPECT_EQ(MEASURE_SKIP, decide_measurement(100, 100, 5));
    EXPECT_EQ(MEASURE_TIME_CHANGE, decide_measurement(111, 100, 5));
    EXPECT_EQ(MEASURE_TIME_CHANGE, decide_measurement(99, 100, 5));
}

time_t fake_now;
time_t fake_clock(time_t *)
{
    return fake_now;
}

// The first failure at once with its reason, the count lost since when
// sending works again or a minute later; an outage within the minute of the
// last word waits for the next summary.
TEST_F(Measure, SendErrorsAreToldAtOnceThenOnceAMinute)
{
    log_clock = fake_clock;
    fake_now = 100000;
    sender *m = add_mux("127.0.0.1 2100 (5s)", 5, {STREAM_LOAD});
    int good = m->socket;
    int broken = open("/dev/null", O_WRONLY);
    begin_packet(m, 1);
    finish_packet(m);
    m->socket = broken;
    for (int i = 0; i < 49; i++)
        send_packet(m);
    EXPECT_TRUE(log.has("sending to mux(127.0.0.1 2100 (5s)) failed: Socket operation on non-socket"))
        << log.dump();
    EXPECT_FALSE(log.contains("lost due to send errors"));
    EXPECT_EQ(49u, m->send_errors);
    m->socket = good;
    send_packet(m);
    EXPECT_TRUE(log.has("49 updates to mux(127.0.0.1 2100 (5s)) lost due to send errors"));
    EXPECT_TRUE(log.has("sending to mux(127.0.0.1 2100 (5s)) works again"));
    EXPECT_EQ(0u, m->send_errors);

    log.clear();
    m->socket = broken;
    fake_now += 30;
    send_packet(m);
    m->socket = good;
    send_packet(m);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    m->socket = broken;
    fake_now += 30;
    send_packet(m);
    EXPECT_TRUE(log.has("1 updates to mux(127.0.0.1 2100 (5s)) lost due to send errors")) << log.dump();
    EXPECT_EQ(2u, log.lines().size()) << "and the new failure";
    fake_now += 60;
    send_packet(m);
    EXPECT_TRUE(log.has("2 updates to mux(127.0.0.1 2100 (5s)) lost due to send errors")) << log.dump();
    EXPECT_EQ(3u, log.lines().size());
    m->socket = good;
    close(broken);
    log_clock = time;
}

TEST_F(Measure, TwoMuxesToOneHostUseTwoSockets)
{
    sender *a = add_mux("a", 10, {STREAM_LOAD});
    sender *b = add_mux("b", 15, {STREAM_LOAD});
    sockaddr_in la, lb;
    socklen_t n = sizeof(la);
    getsockname(a->socket, reinterpret_cast<sockaddr *>(&la), &n);
    n = sizeof(lb);
    getsockname(b->socket, reinterpret_cast<sockaddr *>(&lb), &n);
    EXPECT_NE(la.sin_port, lb.sin_port);
    int sockets[] = {a->socket, b->socket};
    sender_list_free(&senders);
    for (int fd : sockets)
        EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "closed with their senders";
}

TEST(MeasureDeath, UnbindableFromAddressIsFatal)
{
    daemonized = 0;
    mux_list list = {};
    mux *m = mux_list_add(&list, "m");
    m->address = strdup("127.0.0.1");
    m->port = strdup("2100");
    m->from_address = strdup("192.0.2.77");
    sender_list senders = {};
    EXPECT_EXIT(open_sender_socket(sender_list_add(&senders, m)), ::testing::ExitedWithCode(1),
                "fatal: could not bind socket: Cannot assign requested address");
    sender_list_free(&senders);
    mux_list_free(&list);
}

} // namespace

namespace {

// The packets as colvo reads them: CRC right, authenticator verified.
authenticator verified(std::vector<uint8_t> p, const auth_key *key)
{
    authenticator a = {};
    packet_header h;
    header_from_wire(p.data(), &h);
    memset(p.data(), 0, 4);
    EXPECT_EQ(h.crc, crc32_compute(p.data(), p.size()));
    EXPECT_EQ(AUTH_OK, auth_verify(key, p.data(), h.length, static_cast<int>(p.size()), &a));
    return a;
}

TEST_F(Measure, SignedMuxesShareOneSequencePerSenderAcrossAReload)
{
    uint8_t key[KEY_SIZE] = {7};
    auth_key *check = auth_key_new(key);
    auto keyed = [&](mux_list *list, sender_list *to, const char *name, int interval, int port) {
        mux *m = mux_list_add(list, name);
        m->interval = interval;
        m->address = strdup("127.0.0.1");
        m->port = strdup(std::to_string(port).c_str());
        mux_add_stream(m, STREAM_LOAD, "");
        m->key = auth_key_new(key);
        sender *s = sender_list_add(to, m);
        sender_size_packet(s);
        open_sender_socket(s);
        return s;
    };
    udp_socket other("127.0.0.1");
    keyed(&muxes, &senders, "every 1", 1, listener.port());
    keyed(&muxes, &senders, "every 2", 2, listener.port());
    add_mux("plain", 1, {STREAM_LOAD});
    sender_list_carry(&senders, nullptr);
    std::vector<authenticator> seen;
    measure(&senders, 100, 1);
    measure(&senders, 101, 1);
    int plain = 0;
    for (auto p = listener.receive(1000); !p.empty(); p = listener.receive(200)) {
        if (p.size() == 15u + 10) {
            plain++; // the unkeyed mux's, as ever
            continue;
        }
        ASSERT_EQ(15u + 8 + AUTH_SIZE, p.size());
        seen.push_back(verified(p, check));
    }
    EXPECT_EQ(2, plain);
    ASSERT_EQ(3u, seen.size());
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(i, seen[i].sequence);
        EXPECT_EQ(0, memcmp(seen[0].boot, seen[i].boot, AUTH_BOOT_SIZE));
    }
    // A reread: the sender that stays goes on, a new one has a boot of its own.
    mux_list fresh = {};
    sender_list fresh_senders = {};
    keyed(&fresh, &fresh_senders, "every 1", 1, listener.port());
    sender *added = keyed(&fresh, &fresh_senders, "elsewhere", 1, other.port());
    sender_list_carry(&fresh_senders, &senders);
    measure(&fresh_senders, 200, 1);
    authenticator stays = verified(listener.receive(1000), check), fresh_one = verified(other.receive(1000), check);
    EXPECT_EQ(3u, stays.sequence);
    EXPECT_EQ(0, memcmp(seen[0].boot, stays.boot, AUTH_BOOT_SIZE));
    EXPECT_EQ(0u, fresh_one.sequence);
    EXPECT_NE(0, memcmp(seen[0].boot, fresh_one.boot, AUTH_BOOT_SIZE));
    EXPECT_EQ(added, added->signer);
    sender_list_free(&fresh_senders);
    mux_list_free(&fresh);
    auth_key_free(check);
}

} // namespace
