// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "auth_check.h"
#include "intake.h"
#include "output.h"
#include "readconf.h"
#include "receiver.h"
#include "crc32.h"
#include "error.h"
#include "figures.h"
#include "log_capture.h"
#include "socket_address.h"
#include "types.h"
#include "udp.h"
#include "xmalloc.h"

namespace {

// Database calls, recorded; a failure can be forced.
std::vector<std::vector<std::string>> updates;
bool fail_updates;
bool error_pending;
int cleared;

int record_update(int argc, char **argv)
{
    updates.emplace_back(argv, argv + argc);
    error_pending = fail_updates;
    return fail_updates ? -1 : 0;
}
int record_test_error() { return error_pending; }
const char *record_get_error() { return "not an RRD file"; }
void record_clear_error()
{
    error_pending = false;
    cleared++;
}
const rrd_backend recorder = {record_update, record_test_error, record_get_error,
                              record_clear_error};

// The source's configured address, as a sender's.
sockaddr_storage source_socket_address(const source *s)
{
    sockaddr_storage address = {};
    memcpy(&address, &s->socket_address, sizeof(s->socket_address));
    return address;
}

struct Output : ::testing::Test {
    log_capture log;
    std::vector<uint8_t> slot; // where a receive batch would hold the datagram
    int room = 0;              // its size
    mux_list muxes = {};
    mux *m;
    source *src;
    int fifo[2];
    output_state out;
    std::vector<char> churn;

    Output()
    {
        crc32_init_table();
        updates.clear();
        fail_updates = false;
        cleared = 0;
        rrd_backend_current = &recorder;
        m = mux_list_add(&muxes, "127.0.0.1 2100");
        src = source_list_add(&m->sources, "10.0.0.5");
        sockaddr_storage configured = socket_address("10.0.0.5", 0);
        source_set_address(src, &configured);
        pipe2(fifo, O_NONBLOCK);
        output_init(&out, fifo[1]);
    }
    ~Output() override
    {
        rrd_backend_current = &librrd_backend;
        output_finish(&out);
        mux_list_free(&muxes);
        close(fifo[0]);
        close(fifo[1]);
    }

    stream *accept(int type, const char *arg, const char *file = nullptr)
    {
        stream *s = source_add_stream(src, type, arg);
        if (file)
            s->rrd_file = strdup(file);
        return s;
    }

    void ready()
    {
        room = mux_receive_size(m);
        slot.assign(static_cast<size_t>(room), 0);
        churn.assign(static_cast<size_t>(source_list_max_text_size(&m->sources)), 'x');
    }

    // Feeds bytes as if received from the source, returning the FIFO line.
    std::string feed(const std::vector<uint8_t> &bytes)
    {
        if (!bytes.empty())
            memcpy(slot.data(), bytes.data(), std::min<size_t>(bytes.size(), room));
        sockaddr_storage from = source_socket_address(src);
        reinterpret_cast<sockaddr_in *>(&from)->sin_port = htons(40000);
        source *found = nullptr;
        int received = static_cast<int>(std::min<size_t>(bytes.size(), room));
        datagram d = {slot.data(), received, room, &from, {}, 0};
        if (!accept_datagram(m, &d, &found))
            return "<rejected>";
        process_packet(found, &d, churn.data(), static_cast<int>(churn.size()), &out);
        fifo_flush(&out.fifo);
        output_summarise(&out);
        char buf[70000];
        ssize_t n = read(fifo[0], buf, sizeof(buf));
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
};

TEST_F(Output, LineAndUpdateTextOfOneLoadStream)
{
    accept(STREAM_LOAD, "", "/db/load.rrd");
    ready();
    EXPECT_EQ("10.0.0.5;load::1234567890:0.15:0.10:0.05;\n",
              feed(make_packet(1234567890, {load_record(0.15, 0.10, 0.05)})));
    ASSERT_EQ(1u, updates.size());
    EXPECT_EQ((std::vector<std::string>{"rrdupdate", "--", "/db/load.rrd",
                                        "1234567890:0.15:0.10:0.05"}),
              updates[0]);
    EXPECT_TRUE(log.has("rrdupdate -- /db/load.rrd 1234567890:0.15:0.10:0.05"));
    EXPECT_TRUE(log.has("churnbuffer used: 42")) << log.dump();
}

TEST_F(Output, TimestampIsItsLow32Bits)
{
    accept(STREAM_LOAD, "");
    ready();
    EXPECT_EQ("10.0.0.5;load::1:0.00:0.00:0.00;\n",
              feed(make_packet(0x100000001ull, {load_record(0, 0, 0)})));
}

TEST_F(Output, AcceptedStreamsInPacketOrderOthersSkipped)
{
    accept(STREAM_CPU, "0", "/db/cpu0.rrd");
    accept(STREAM_IF, "em0");
    ready();
    std::string line = feed(
        make_packet(7, {if_record("em0", 10), load_record(1, 2, 3), cpu_record("0", 5)}));
    EXPECT_EQ("10.0.0.5;if:em0:7:10:11:12:13:14:15:16:17:18:19;cpu:0:7:5.00:0.00:1.00:0.00:94.00;\n",
              line);
    EXPECT_TRUE(log.has("ignored unaccepted stream load(0) from 10.0.0.5"));
    // The stream without a file is shown but not stored.
    ASSERT_EQ(1u, updates.size());
    EXPECT_EQ("/db/cpu0.rrd", updates[0][2]);
}

TEST_F(Output, ArgumentMustMatchExactly)
{
    accept(STREAM_CPU, "0");
    ready();
    EXPECT_EQ("10.0.0.5;\n", feed(make_packet(7, {cpu_record("00", 5)})));
    EXPECT_TRUE(log.has("ignored unaccepted stream cpu(00) from 10.0.0.5"));
}

TEST_F(Output, TypeWithoutNameIsSkippedByNumber)
{
    accept(STREAM_LOAD, "");
    accept(STREAM_IF, "em0");
    ready();
    uint8_t buf[128] = {};
    int n = pack_stream(buf, sizeof(buf), "x", STREAM_ALLFORMATS, 0ull, 0ull, 0ull, 0ull, 0.0, 0.0,
                        0.0, 0.0, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0.0, 0.0, 0.0, 0.0, 0u, 0u, 0u,
                        0u);
    std::vector<uint8_t> odd(buf, buf + n);
    EXPECT_EQ("10.0.0.5;load::9:1.00:1.00:1.00;\n",
              feed(make_packet(9, {odd, load_record(1, 1, 1)})));
    EXPECT_TRUE(log.has("ignored unaccepted stream 18(x) from 10.0.0.5")) << log.dump();
}

TEST_F(Output, VersionZeroGivesTheSourceOnly)
{
    accept(STREAM_LOAD, "", "/db/load.rrd");
    ready();
    EXPECT_EQ("10.0.0.5;\n", feed(make_packet(9, {load_record(1, 1, 1)}, 0)));
    EXPECT_TRUE(log.has("unsupported packet version - ignoring data"));
    EXPECT_TRUE(updates.empty());
}

TEST_F(Output, VersionOneArgumentsAreCutTo15)
{
    accept(STREAM_IF, "abcdefghijklmno");
    ready();
    EXPECT_EQ("10.0.0.5;if:abcdefghijklmno:9:1:2:3:4:5:6:7:8:9:10;\n",
              feed(make_packet(9, {if_record("abcdefghijklmno", 1)}, 1)));
}

TEST_F(Output, RecordRunningPastTheDatagramIsNotRendered)
{
    accept(STREAM_LOAD, "");
    accept(STREAM_IF, "em0", "/db/if.rrd");
    ready();
    // A long packet first, so the buffer holds stale bytes beyond the next.
    feed(make_packet(1, {load_record(1, 1, 1), if_record("em0", 1)}));
    updates.clear();
    // The header claims the if record, the datagram stops 20 bytes short.
    auto full = make_packet(2, {load_record(2, 2, 2), if_record("em0", 100)});
    std::vector<uint8_t> cut = with_crc(std::vector<uint8_t>(full.begin(), full.end() - 20));
    EXPECT_EQ("10.0.0.5;load::2:2.00:2.00:2.00;\n", feed(cut));
    EXPECT_TRUE(updates.empty());
    EXPECT_TRUE(log.contains("runs past the end of the packet")) << log.dump();
}

TEST_F(Output, FiveDatabaseErrorsThenSilence)
{
    accept(STREAM_LOAD, "", "/db/broken.rrd");
    ready();
    fail_updates = true;
    for (int i = 0; i < 8; i++)
        feed(make_packet(100 + static_cast<uint64_t>(i), {load_record(1, 1, 1)}));
    EXPECT_EQ(5, log.count("rrd_update:not an RRD file"));
    EXPECT_TRUE(log.has("rrdupdate -- /db/broken.rrd 100:1.00:1.00:1.00"));
    EXPECT_EQ(1, log.count("maximum rrd errors reached - will stop reporting them"));
    EXPECT_FALSE(log.contains("/db/broken.rrd 105:"));
    EXPECT_EQ(8, cleared);
    EXPECT_EQ(5, out.rrd_errors);
}

TEST_F(Output, ChurnBufferBoundsTheLine)
{
    accept(STREAM_IF, "em0");
    ready();
    // A buffer far too small: the line is cut at a whole entry, never
    // overrun, and keeps its newline.
    churn.assign(20, 'x');
    EXPECT_EQ("10.0.0.5;\n", feed(make_packet(5, {if_record("em0", 1)})));
    EXPECT_TRUE(log.contains("buffer overflow"));
}

TEST_F(Output, FullFifoDropsLines)
{
    accept(STREAM_LOAD, "");
    ready();
    char junk[4096];
    memset(junk, 'j', sizeof(junk));
    while (write(fifo[1], junk, sizeof(junk)) > 0) {
    }
    log.clear();
    memcpy(slot.data(), make_packet(1, {load_record(1, 1, 1)}).data(), 23);
    sockaddr_storage from = source_socket_address(src);
    datagram d = {slot.data(), 23, room, &from, {}, 0};
    accept_datagram(m, &d, &src);
    process_packet(src, &d, churn.data(), static_cast<int>(churn.size()), &out);
    fifo_flush(&out.fifo);
    output_summarise(&out);
    EXPECT_TRUE(log.has("write is short -- no client listening?"));
}

struct Intake : Output {};

TEST_F(Intake, ChecksSenderLengthCrcAndVersion)
{
    accept(STREAM_LOAD, "");
    ready();
    auto good = make_packet(1, {load_record(1, 1, 1)});
    EXPECT_NE("<rejected>", feed(good));
    EXPECT_TRUE(log.has("good data received from 10.0.0.5:40000"));

    auto flipped = good;
    flipped[20] ^= 4;
    EXPECT_EQ("<rejected>", feed(flipped));
    EXPECT_TRUE(log.has("ignored packet with bad crc from 10.0.0.5:40000"));

    EXPECT_EQ("<rejected>", feed(make_packet(1, {load_record(1, 1, 1)}, 3)));
    EXPECT_TRUE(log.has("ignored packet with unsupported version 3 from 10.0.0.5:40000"));

    for (size_t n = 0; n < 15; n++) {
        log.clear();
        log_limit_reset();
        EXPECT_EQ("<rejected>", feed(std::vector<uint8_t>(good.begin(), good.begin() + n)));
        EXPECT_TRUE(log.has("ignored packet with bad crc from 10.0.0.5:40000")) << n;
    }

    sockaddr_storage stranger = source_socket_address(src);
    inet_pton(AF_INET, "10.0.0.6", &reinterpret_cast<sockaddr_in *>(&stranger)->sin_addr);
    source *found = src;
    datagram d = {good.data(), static_cast<int>(good.size()), room, &stranger, {}, 0};
    EXPECT_EQ(0, accept_datagram(m, &d, &found));
    EXPECT_EQ(nullptr, found);
    EXPECT_TRUE(log.has("ignored data from 10.0.0.6:0"));
}

TEST_F(Intake, PacketLargerThanTheBufferIsReportedAsOversized)
{
    accept(STREAM_LOAD, "");
    ready();
    ASSERT_EQ(48 + AUTH_SIZE, room);
    std::vector<std::vector<uint8_t>> many;
    for (int i = 0; i < 10; i++)
        many.push_back(load_record(i, i, i));
    EXPECT_EQ("<rejected>", feed(make_packet(1, many)));
    EXPECT_TRUE(log.has("ignored oversized packet from 10.0.0.5:40000; client and server have "
                        "different stream configurations"));
}

} // namespace

namespace {

time_t fake_now;
time_t fake_clock(time_t *)
{
    return fake_now;
}

// Every line is whole and ends in its newline, also when a packet repeats
// an accepted stream past the line's budget; a cut entry is not stored.
TEST_F(Output, RepeatedStreamsAreCutAtAWholeEntry)
{
    accept(STREAM_LOAD, "", "/db/load.rrd");
    ready();
    // The budget holds one load entry and change; the buffer four records.
    std::vector<std::vector<uint8_t>> loads(4, load_record(3.75, 1, 1));
    std::string line = feed(make_packet(9, loads));
    EXPECT_EQ("10.0.0.5;load::9:3.75:1.00:1.00;load::9:3.75:1.00:1.00;\n", line);
    for (const auto &u : updates)
        EXPECT_EQ("9:3.75:1.00:1.00", u[3]);
    EXPECT_EQ("10.0.0.5;load::10:1.00:1.00:1.00;\n", feed(make_packet(10, {load_record(1, 1, 1)})));
}

// A line longer than the FIFO takes at once never reaches a reader in
// part: its rest goes first next time, or a following line waits whole.
TEST_F(Output, FifoLinesStayWholeWhenTheFifoIsNearlyFull)
{
    char junk[4096];
    memset(junk, 'j', sizeof(junk));
    while (write(fifo[1], junk, sizeof(junk)) > 0) {
    }
    char drain[6000];
    ASSERT_EQ(6000, read(fifo[0], drain, sizeof(drain)));
    std::string longline(9000, 'L');
    longline.back() = '\n';
    fifo_queue_line(&out.fifo, longline.data(), static_cast<int>(longline.size()));
    fifo_queue_line(&out.fifo, "short\n", 6);
    fifo_flush(&out.fifo);
    EXPECT_EQ(1, out.fifo.dropped) << "behind a waiting rest";
    std::string got;
    for (int i = 0; i < 20 && got.find("next\n") == std::string::npos; i++) {
        char buf[65536];
        ssize_t n = read(fifo[0], buf, sizeof(buf));
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        fifo_queue_line(&out.fifo, "next\n", 5);
        fifo_flush(&out.fifo);
    }
    size_t start = got.find('L');
    ASSERT_NE(std::string::npos, start);
    EXPECT_EQ(longline + "next\n", got.substr(start, longline.size() + 5));
}

// Far-future packets are shown, not stored; dropped lines and database
// failures past the reported ones are summed up once a minute.
TEST_F(Output, LossesAreSummedUpAndFutureTimesNotStored)
{
    log_clock = fake_clock;
    fake_now = 1000000;
    accept(STREAM_LOAD, "", "/db/load.rrd");
    ready();
    EXPECT_EQ("10.0.0.5;load::1000601:1.00:1.00:1.00;\n",
              feed(make_packet(1000601, {load_record(1, 1, 1)})));
    EXPECT_TRUE(updates.empty());
    EXPECT_TRUE(log.has("not storing data from 10.0.0.5: its time is 601 s ahead of ours"));
    feed(make_packet(1000600, {load_record(1, 1, 1)}));
    EXPECT_EQ(1u, updates.size()) << "ten minutes ahead is still stored";

    fail_updates = true;
    for (int i = 0; i < 9; i++)
        feed(make_packet(static_cast<uint64_t>(i), {load_record(1, 1, 1)}));
    char junk[4096];
    memset(junk, 'j', sizeof(junk));
    for (int i = 0; i < 3; i++) {
        while (write(fifo[1], junk, sizeof(junk)) > 0) {
        }
        feed(make_packet(static_cast<uint64_t>(i), {load_record(1, 1, 1)}));
    }
    EXPECT_FALSE(log.contains("more rrd updates failed"));
    fake_now += SUMMARY_INTERVAL;
    feed(make_packet(1, {load_record(1, 1, 1)}));
    EXPECT_TRUE(log.has("3 lines dropped at the fifo in the last 60 s - no client reading?"))
        << log.dump();
    EXPECT_TRUE(log.has("8 more rrd updates failed in the last 60 s"));
    log_clock = time;
}

// Forty files failing at once: the five, then ten told an interval; the
// table follows 32 and counts the rest; recoveries are told within the same
// bound, and a file that stops failing leaves the table.
TEST_F(Output, FailingFilesAreFollowedInABoundedTable)
{
    log_clock = fake_clock;
    fake_now = 2000000;
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 40; i++) {
        std::string n = std::to_string(i);
        accept(STREAM_CPU, n.c_str(), ("/db/cpu" + n + ".rrd").c_str());
        records.push_back(cpu_record(n, 1));
    }
    ready();
    auto told = [&](const std::string &fragment) {
        int n = 0;
        for (const logged &l : log.lines())
            n += l.text.find(fragment) != std::string::npos;
        return n;
    };
    output_summarise(&out);
    fail_updates = true;
    feed(make_packet(1, records));
    feed(make_packet(2, records));
    EXPECT_EQ(FAILURE_MESSAGES, told(" failed: not an RRD file"));
    EXPECT_TRUE(log.has("rrd update of /db/cpu14.rrd failed: not an RRD file"));
    EXPECT_EQ(FAILING_FILES, out.failures.used);
    log.clear();
    fake_now += SUMMARY_INTERVAL;
    output_summarise(&out);
    EXPECT_TRUE(log.has("65 more rrd updates failed in the last 60 s")) << log.dump();
    EXPECT_TRUE(log.has("rrd updates of /db/cpu0.rrd failed 2 times in the last 60 s: not an RRD file"));
    EXPECT_TRUE(log.has("70 more rrd updates of other files failed in the last 60 s"));
    EXPECT_EQ(2 + SUMMARY_FILES, static_cast<int>(log.lines().size()));

    fail_updates = false;
    feed(make_packet(3, records));
    EXPECT_TRUE(log.has("rrd updates of /db/cpu0.rrd succeed again; 2 had failed"));
    EXPECT_EQ(FAILURE_MESSAGES, told(" had failed")) << log.dump();
    fake_now += SUMMARY_INTERVAL;
    output_summarise(&out);
    EXPECT_EQ(0, out.failures.used);
    log_clock = time;
}

// The kernel's count of datagrams it had no room for is a running total
// of each socket, told with the datagrams queued after the losses: every
// loss is counted once, on whichever socket it was.
TEST(KernelDrops, AreCountedOncePerSocket)
{
    mux_list muxes = {};
    mux *m = mux_list_add(&muxes, "m");
    m->port = strdup(std::to_string(free_udp_port()).c_str());
    source_list_add(&m->sources, "127.0.0.1");
    source_list_add(&m->sources, "::1");
    int receive_size = mux_receive_size(m);
    receiver r;
    receiver_init(&r);
    ASSERT_EQ(2, open_sockets(&r.sockets, m, receive_size));
    receive_batch &batch = r.batch;
    receive_batch_size(&batch, receive_size);
    std::vector<uint8_t> bytes(1000, 'x');
    for (const char *host : {"127.0.0.1", "::1", "127.0.0.1"}) {
        int family = strchr(host, ':') ? AF_INET6 : AF_INET;
        int tiny = 1; // the kernel's least
        setsockopt(r.sockets.fd[family], SOL_SOCKET, SO_RCVBUF, &tiny, sizeof(tiny));
        udp_socket sender(host);
        long received = 0, dropped = 0;
        // A burst the buffer cannot hold, then one datagram that tells.
        for (int burst : {40, 1}) {
            for (int i = 0; i < burst; i++)
                sender.send_to(host, atoi(m->port), bytes);
            timespec moment = {0, 50 * 1000 * 1000};
            for (int n; (n = wait_for_datagrams(&r, nullptr, &moment)) > 0;) {
                received += n;
                dropped += batch.dropped;
            }
        }
        EXPECT_GT(dropped, 0) << host;
        EXPECT_EQ(41, received + dropped) << host;
    }
    xfree(batch.buffers);
    close_sockets(&r.sockets, nullptr);
    mux_list_free(&muxes);
}

} // namespace

namespace {

const char KEY[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const char OTHER_KEY[] = "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const char BOOT_A[] = "0123456789abcdef", BOOT_B[] = "fedcba9876543210";

// A keyed source through the intake, packet by packet: what is taken, what
// is refused with which warning, and the sequence numbers counted lost.
TEST_F(Intake, KeyedSourceTakesOnlyFreshAuthenticatedPackets)
{
    log_clock = fake_clock;
    fake_now = 5000000;
    log_limit_reset();
    memset(colvo_figures, 0, sizeof(colvo_figures));
    auth_last_summary = fake_now;
    accept(STREAM_LOAD, "");
    ready();
    uint64_t t = static_cast<uint64_t>(fake_now);
    auto load = load_record(1, 1, 1);
    std::string line = "10.0.0.5;load::" + std::to_string(t) + ":1.00:1.00:1.00;\n";
    // Without a key the authenticator is not read, the records are.
    EXPECT_EQ(line, feed(make_signed_packet(t, {load}, KEY, BOOT_A, 0)));
    uint8_t key[KEY_SIZE];
    for (int i = 0; i < KEY_SIZE; i++)
        key[i] = static_cast<uint8_t>(i);
    src->auth = auth_config_new(auth_key_new(key));

    auto cut = make_signed_packet(t, {load}, KEY, BOOT_A, 1);
    cut.pop_back();
    struct row {
        std::vector<uint8_t> packet;
        const char *refusal; // null: taken
    } rows[] = {
        {make_signed_packet(t, {load}, KEY, BOOT_A, 0), nullptr},
        {make_signed_packet(t, {load}, KEY, BOOT_A, 0), "ignored replayed packet from 10.0.0.5:40000"},
        {make_signed_packet(t + 1, {load}, KEY, BOOT_A, 4), nullptr}, // 1 to 3 lost
        {make_signed_packet(t + 1, {load}, KEY, BOOT_A, 2), "ignored replayed packet from 10.0.0.5:40000"},
        // Another start must be stamped later than the last packet taken.
        {make_signed_packet(t + 1, {load}, KEY, BOOT_B, 0),
         "ignored packet of an earlier start from 10.0.0.5:40000"},
        {make_signed_packet(t + 2, {load}, KEY, BOOT_B, 2), nullptr}, // its 0 and 1 lost
        {make_signed_packet(t + 1, {load}, KEY, BOOT_A, 5),
         "ignored packet of an earlier start from 10.0.0.5:40000"},
        {make_packet(t + 3, {load}), "ignored packet without authenticator from 10.0.0.5:40000"},
        {make_signed_packet(t + 3, {load}, OTHER_KEY, BOOT_B, 3), "ignored packet with bad mac from 10.0.0.5:40000"},
        {with_crc(cut), "ignored packet with bad authenticator from 10.0.0.5:40000"},
        {make_signed_packet(t + 601, {load}, KEY, BOOT_B, 3),
         "ignored packet from 10.0.0.5:40000: its time is 601 s ahead of ours"},
        {make_signed_packet(t - 601, {load}, KEY, BOOT_B, 3),
         "ignored packet from 10.0.0.5:40000: its time is 601 s behind ours"},
        {make_signed_packet(t + 600, {load}, KEY, BOOT_B, 3), nullptr},
    };
    for (const row &r : rows) {
        log.clear();
        std::string got = feed(r.packet);
        if (r.refusal) {
            EXPECT_EQ("<rejected>", got) << r.refusal;
            EXPECT_TRUE(log.has(r.refusal)) << log.dump();
        } else {
            EXPECT_NE("<rejected>", got) << log.dump();
        }
    }
    // colvo's figures: the refusals by reason, the losses; every datagram
    // received is accepted or refused.
    EXPECT_EQ((std::vector<uint64_t>{1, 1, 1, 2, 2, 2, 5}),
              std::vector<uint64_t>(colvo_figures + FIG_UNSIGNED, colvo_figures + FIG_LOST + 1));
    EXPECT_EQ(colvo_figures[FIG_RECEIVED], colvo_figures[FIG_ACCEPTED] + 9);
    log.clear();
    auth_summarise(m, 0);
    EXPECT_FALSE(log.contains("lost")) << "within the minute";
    fake_now += SUMMARY_INTERVAL;
    auth_summarise(m, 0);
    EXPECT_TRUE(log.has("lost 5 packets from 10.0.0.5 in the last 60 s")) << log.dump();
    log.clear();
    fake_now += SUMMARY_INTERVAL;
    auth_summarise(m, 1);
    EXPECT_FALSE(log.contains("lost")) << "told once";
    log_clock = time;
}

// A reload: a keyed source goes on where it stopped, its replays still
// refused and its losses told later; one that loses its key has its
// losses told at once.
TEST_F(Intake, ReloadCarriesWhatKeyedSourcesTook)
{
    log_clock = fake_clock;
    fake_now = 5000000;
    log_limit_reset();
    auth_last_summary = fake_now;
    uint8_t key[KEY_SIZE];
    for (int i = 0; i < KEY_SIZE; i++)
        key[i] = static_cast<uint8_t>(i);
    auto keyed_source = [&](mux *into, const char *name, int with_key) {
        source *added = source_list_add(&into->sources, name);
        sockaddr_storage address = socket_address(name, 0);
        source_set_address(added, &address);
        if (with_key)
            added->auth = auth_config_new(auth_key_new(key));
        source_add_stream(added, STREAM_LOAD, "");
        return added;
    };
    uint64_t t = static_cast<uint64_t>(fake_now);
    auto load = load_record(1, 1, 1);
    auto signed_at = [&](int sequence) {
        return make_signed_packet(t, {load}, KEY, BOOT_A, static_cast<uint64_t>(sequence));
    };
    src->auth = auth_config_new(auth_key_new(key));
    accept(STREAM_LOAD, "");
    source *leaving = keyed_source(m, "10.0.0.6", 1);
    ready();
    EXPECT_NE("<rejected>", feed(signed_at(0)));
    EXPECT_NE("<rejected>", feed(signed_at(3))); // 1 and 2 lost
    std::swap(src, leaving);
    EXPECT_NE("<rejected>", feed(signed_at(0)));
    EXPECT_NE("<rejected>", feed(signed_at(2))); // 1 lost
    std::swap(src, leaving);

    mux_list running = muxes;
    muxes = {};
    m = mux_list_add(&muxes, "127.0.0.1 2100");
    keyed_source(m, "10.0.0.6", 0);
    src = keyed_source(m, "10.0.0.5", 1);
    ready();
    log.clear();
    fake_now += 10;
    carry_source_runs(m, running.first);
    EXPECT_TRUE(log.has("lost 1 packets from 10.0.0.6 in the last 10 s")) << log.dump();
    EXPECT_FALSE(log.contains("from 10.0.0.5")) << "told later";
    mux_list_free(&running);

    log.clear();
    EXPECT_EQ("<rejected>", feed(signed_at(3)));
    EXPECT_TRUE(log.has("ignored replayed packet from 10.0.0.5:40000")) << log.dump();
    EXPECT_NE("<rejected>", feed(signed_at(4)));
    log.clear();
    auth_summarise(m, 1);
    EXPECT_TRUE(log.has("lost 2 packets from 10.0.0.5 in the last 10 s")) << log.dump();
    EXPECT_FALSE(log.contains("from 10.0.0.6")) << "told once";
    log_clock = time;
}

} // namespace
