// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "codec.h"
#include "crc32.h"
#include "log_capture.h"
#include "packet.h"
#include "types.h"

namespace {

class Packet : public ::testing::Test {
  protected:
    void SetUp() override { crc32_init_table(); }
    log_capture log;
};

TEST_F(Packet, CrcKnownAnswers)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(0xFC891918u, crc32_compute(digits, sizeof(digits)));
    EXPECT_EQ(0u, crc32_compute(digits, 0));
    // The table is built MSB first from the polynomial.
    EXPECT_EQ(0u, crc32_table[0]);
    EXPECT_EQ(0x04C11DB7u, crc32_table[1]);
    EXPECT_EQ(0x09823B6Eu, crc32_table[2]);
    EXPECT_EQ(0xB1F740B4u, crc32_table[255]);
}

// The byte-at-a-time CRC the packets were always checked with.
uint32_t bytewise_crc(const uint8_t *bytes, size_t count)
{
    if (count == 0)
        return 0;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; i++)
        crc = (crc << 8) ^ crc32_table[(crc >> 24) ^ bytes[i]];
    return ~crc;
}

// The tables and, where the processor has it, folding, at every alignment
// and across the lengths where each changes step.
TEST_F(Packet, CrcFastPathsEqualByteWise)
{
    std::vector<uint8_t> bytes(2000);
    uint32_t seed = 7;
    for (auto &b : bytes)
        b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    for (size_t offset = 0; offset < 16; offset++)
        for (size_t n = 0; n <= 300; n++) {
            uint32_t want = bytewise_crc(bytes.data() + offset, n);
            ASSERT_EQ(want, crc32_compute(bytes.data() + offset, n)) << offset << " " << n;
            ASSERT_EQ(want, crc32_compute_tables(bytes.data() + offset, n)) << offset << " " << n;
        }
    for (size_t n = 301; n <= bytes.size(); n += 37)
        ASSERT_EQ(bytewise_crc(bytes.data(), n), crc32_compute(bytes.data(), n)) << n;
    std::vector<uint8_t> ones(64, 0xFF), zeros(64, 0);
    EXPECT_EQ(bytewise_crc(ones.data(), 64), crc32_compute(ones.data(), 64));
    EXPECT_EQ(bytewise_crc(zeros.data(), 64), crc32_compute(zeros.data(), 64));
}

TEST_F(Packet, HeaderWireLayoutIsBigEndianWithCrcFirst)
{
    packet_header h = {0x0102030405060708ull, 0xA1B2C3D4u, 0x0F10, 2};
    uint8_t wire[15];
    ASSERT_EQ(15, header_to_wire(wire, &h));
    const uint8_t expect[15] = {0xA1, 0xB2, 0xC3, 0xD4, 1, 2, 3, 4, 5, 6, 7, 8, 0x0F, 0x10, 2};
    EXPECT_EQ(0, memcmp(expect, wire, 15));
    packet_header back;
    ASSERT_EQ(15, header_from_wire(wire, &back));
    EXPECT_EQ(h.timestamp, back.timestamp);
    EXPECT_EQ(h.crc, back.crc);
    EXPECT_EQ(h.length, back.length);
    EXPECT_EQ(h.version, back.version);
}

// Builds a packet as the monitor does: clear, header, records, length, CRC.
static int build(uint8_t *buf, int size, uint64_t timestamp,
                 int (*records)(uint8_t *, int) = nullptr)
{
    memset(buf, 0, static_cast<size_t>(size));
    packet_header h = {timestamp, 0, 0, PACKET_VERSION};
    int offset = header_to_wire(buf, &h);
    if (records)
        offset += records(buf + offset, size - offset);
    h.length = static_cast<uint16_t>(offset);
    header_to_wire(buf, &h);
    h.crc = crc32_compute(buf, static_cast<size_t>(offset));
    header_to_wire(buf, &h);
    return offset;
}

TEST_F(Packet, EmptyPacketIsFifteenBytesWithItsCrc)
{
    uint8_t buf[16];
    int n = build(buf, sizeof(buf), 1700000000);
    EXPECT_EQ(15, n);
    packet_header h;
    header_from_wire(buf, &h);
    EXPECT_EQ(15, h.length);
    EXPECT_EQ(2, h.version);
    uint8_t zeroed[15];
    memcpy(zeroed, buf, 15);
    memset(zeroed, 0, 4);
    EXPECT_EQ(crc32_compute(zeroed, 15), h.crc);
}

TEST_F(Packet, LoadRecordExactBytes)
{
    uint8_t buf[32] = {};
    ASSERT_EQ(8, pack_stream(buf, sizeof(buf), "", STREAM_LOAD, 0.5, 1.25, 2.0));
    const uint8_t expect[8] = {16, 0, 0, 50, 0, 125, 0, 200};
    EXPECT_EQ(0, memcmp(expect, buf, 8));
}

TEST_F(Packet, EveryFormatEncodesBigEndian)
{
    uint8_t buf[256] = {};
    int n = pack_stream(buf, sizeof(buf), "x", STREAM_ALLFORMATS,
                        // L
                        0x0102030405060708ull, 0ull, ~0ull, 1ull,
                        // D
                        1.5, -2.25, 0.0, 1e-6,
                        // l (low 32 bits)
                        0xDEADBEEFu, 0u, 1u, 0xFFFFFFFFu,
                        // s (low 16 bits)
                        0x12345u, 0u, 65535u, 7u,
                        // c
                        12.345, -1.0, 100.0, 99.999,
                        // b (low 8 bits)
                        0x1FFu, 0u, 255u, 42u);
    ASSERT_EQ(3 + 100, n);
    const uint8_t *v = buf + 3;
    EXPECT_EQ(0x0102030405060708ull, decode_fixed64(v));
    EXPECT_EQ(~0ull, decode_fixed64(v + 16));
    EXPECT_EQ(1500000, static_cast<int64_t>(decode_fixed64(v + 32)));
    EXPECT_EQ(-2250000, static_cast<int64_t>(decode_fixed64(v + 40)));
    EXPECT_EQ(1, static_cast<int64_t>(decode_fixed64(v + 56)));
    EXPECT_EQ(0xDEADBEEFu, decode_fixed32(v + 64));
    EXPECT_EQ(0x2345u, decode_fixed16(v + 80));
    EXPECT_EQ(1234u, decode_fixed16(v + 88));
    EXPECT_EQ(65436u, decode_fixed16(v + 90));
    EXPECT_EQ(10000u, decode_fixed16(v + 92));
    EXPECT_EQ(9999u, decode_fixed16(v + 94));
    EXPECT_EQ(0xFF, v[96]);
    EXPECT_EQ(42, v[99]);
}

TEST_F(Packet, IoRecordWithThreeCharacterArgumentIs45Bytes)
{
    uint8_t buf[64] = {};
    EXPECT_EQ(45, pack_stream(buf, sizeof(buf), "da0", STREAM_IO, 1ull, 2ull, 3ull, 4ull, 5ull));
    EXPECT_EQ(0, memcmp("\x09" "da0\0", buf, 5));
}

TEST_F(Packet, ArgumentsAreCutTo63Characters)
{
    std::string a63(63, 'a'), a64(64, 'b');
    uint8_t buf[128] = {};
    EXPECT_EQ(65 + 6, pack_stream(buf, sizeof(buf), a63.c_str(), STREAM_LOAD, 1.0, 1.0, 1.0));
    EXPECT_EQ(0, memcmp(a63.data(), buf + 1, 63));
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(65 + 6, pack_stream(buf, sizeof(buf), a64.c_str(), STREAM_LOAD, 1.0, 1.0, 1.0));
    EXPECT_EQ(0, buf[64]);
}

TEST_F(Packet, CapacityEqualToRecordSizeFailsOnLastValue)
{
    uint8_t buf[45] = {};
    EXPECT_EQ(45 - 8, pack_stream(buf, 45, "da0", STREAM_IO, 1ull, 2ull, 3ull, 4ull, 5ull));
    EXPECT_TRUE(log.has("buffer overflow: max=45, current=37, extra=8")) << log.dump();
    // One spare byte is all it takes.
    uint8_t roomy[46] = {};
    EXPECT_EQ(45, pack_stream(roomy, 46, "da0", STREAM_IO, 1ull, 2ull, 3ull, 4ull, 5ull));
}

TEST_F(Packet, PackRejectsBadTypesAndTinyRoom)
{
    uint8_t buf[32] = {};
    EXPECT_EQ(0, pack_stream(buf, sizeof(buf), "", 20));
    EXPECT_TRUE(log.has("stream type (20) out of range"));
    EXPECT_EQ(0, pack_stream(buf, sizeof(buf), "", -1));
    // Argument that does not fit: only the type byte counts.
    EXPECT_EQ(1, pack_stream(buf, 4, "abc", STREAM_LOAD, 1.0, 1.0, 1.0));
    EXPECT_TRUE(log.has("buffer overflow: max=4, current=1, extra=3"));
}

TEST(PacketDeath, CapacityOfOneIsFatal)
{
    uint8_t buf[2];
    EXPECT_EXIT(pack_stream(buf, 1, "", STREAM_LOAD, 1.0, 1.0, 1.0), ::testing::ExitedWithCode(1),
                "maxlen too small");
}

TEST_F(Packet, DAndCValuesRoundTripToText)
{
    uint8_t buf[64] = {};
    int n = pack_stream(buf, sizeof(buf), "", STREAM_SENSOR, -2.25);
    unpacked_stream u;
    ASSERT_EQ(n, unpack_stream_v2(buf, n, &u));
    char text[64];
    EXPECT_EQ(10, render_stream(&u, text, sizeof(text), RENDER_FIELDS));
    EXPECT_STREQ(":-2.250000", text);

    memset(buf, 0, sizeof(buf));
    n = pack_stream(buf, sizeof(buf), "", STREAM_SENSOR, 1.5);
    ASSERT_EQ(n, unpack_stream_v2(buf, n, &u));
    render_stream(&u, text, sizeof(text), RENDER_FIELDS);
    EXPECT_STREQ(":1.500000", text);

    memset(buf, 0, sizeof(buf));
    n = pack_stream(buf, sizeof(buf), "", STREAM_LOAD, 12.345, -1.0, 99.999);
    ASSERT_EQ(n, unpack_stream_v2(buf, n, &u));
    render_stream(&u, text, sizeof(text), RENDER_FIELDS);
    EXPECT_STREQ(":12.34:654.36:99.99", text);
}

TEST_F(Packet, LoadRendersInBothStyles)
{
    uint8_t buf[32] = {};
    int n = pack_stream(buf, sizeof(buf), "", STREAM_LOAD, 0.5, 1.25, 2.0);
    unpacked_stream u;
    ASSERT_EQ(8, unpack_stream_v2(buf, n, &u));
    EXPECT_EQ(STREAM_LOAD, u.type);
    EXPECT_STREQ("", u.argument);
    char text[64];
    EXPECT_EQ(15, render_stream(&u, text, sizeof(text), RENDER_FIELDS));
    EXPECT_STREQ(":0.50:1.25:2.00", text);
    render_stream(&u, text, sizeof(text), RENDER_PRETTY);
    EXPECT_STREQ(" 0.50 1.25 2.00", text);
}

TEST_F(Packet, RenderReportsOverflowAndBadStyle)
{
    uint8_t buf[32] = {};
    int n = pack_stream(buf, sizeof(buf), "", STREAM_LOAD, 0.5, 1.25, 2.0);
    unpacked_stream u;
    unpack_stream_v2(buf, n, &u);
    char text[64];
    // Room is checked by text width: the third value needs 10 + 8 < max.
    EXPECT_EQ(0, render_stream(&u, text, 18, RENDER_FIELDS));
    EXPECT_TRUE(log.has("buffer overflow: max=18, current=10, extra=8")) << log.dump();
    EXPECT_STREQ(":0.50:1.25", text);
    EXPECT_EQ(15, render_stream(&u, text, 19, RENDER_FIELDS));
    EXPECT_EQ(0, render_stream(&u, text, sizeof(text), 2));
    EXPECT_TRUE(log.contains("unknown pretty identifier"));
}

TEST_F(Packet, WidestValuesFitTheirTextWidths)
{
    unpacked_stream u = {};
    u.type = STREAM_ALLFORMATS;
    memset(u.data, 0xFF, sizeof(u.data));
    // The most negative D renders longest.
    int64_t most_negative = INT64_MIN;
    memcpy(u.data + 32, &most_negative, 8);
    char text[400];
    int n = render_stream(&u, text, stream_type_text_width(STREAM_ALLFORMATS) + 1, RENDER_FIELDS);
    EXPECT_GT(n, 0) << log.dump();
    EXPECT_EQ(static_cast<size_t>(n), strlen(text));
    EXPECT_NE(nullptr, strstr(text, ":18446744073709551615:"));
    EXPECT_NE(nullptr, strstr(text, ":-9223372036854.775391"));
    EXPECT_GT(render_stream(&u, text, 400, RENDER_PRETTY), 0);
}

TEST_F(Packet, FieldTextEqualsThePrintfFormats)
{
    // Every integer and c value renders as its printf field format would.
    unpacked_stream u = {};
    u.type = STREAM_ALLFORMATS;
    uint64_t seed = 88172645463325252ull;
    for (int round = 0; round < 2000; round++) {
        for (uint8_t &b : u.data) {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            b = static_cast<uint8_t>(seed >> (round % 56));
        }
        char text[400];
        ASSERT_GT(render_stream(&u, text, sizeof(text), RENDER_FIELDS), 0);
        std::string expect;
        int in = 0;
        for (const char *f = stream_type_format(STREAM_ALLFORMATS); *f; f++) {
            char one[32];
            const uint8_t *d = u.data + in;
            uint64_t v64;
            int64_t d64;
            uint32_t v32;
            uint16_t v16;
            switch (*f) {
            case 'L':
                memcpy(&v64, d, 8);
                snprintf(one, sizeof(one), ":%llu", static_cast<unsigned long long>(v64));
                break;
            case 'D':
                memcpy(&d64, d, 8);
                snprintf(one, sizeof(one), ":%7.6f", static_cast<double>(d64) / 1000 / 1000);
                break;
            case 'l':
                memcpy(&v32, d, 4);
                snprintf(one, sizeof(one), ":%lu", static_cast<unsigned long>(v32));
                break;
            case 's':
                memcpy(&v16, d, 2);
                snprintf(one, sizeof(one), ":%u", static_cast<unsigned>(v16));
                break;
            case 'c':
                memcpy(&v16, d, 2);
                snprintf(one, sizeof(one), ":%3.2f", v16 / 100.0);
                break;
            default:
                snprintf(one, sizeof(one), ":%u", static_cast<unsigned>(d[0]));
            }
            expect += one;
            in += value_byte_width(*f);
        }
        ASSERT_EQ(expect, text);
    }
    // Every c value, exhaustively.
    for (unsigned v = 0; v <= 65535; v++) {
        unpacked_stream c = {};
        c.type = STREAM_LOAD;
        uint16_t v16 = static_cast<uint16_t>(v);
        memcpy(c.data, &v16, 2);
        char text[64], expect[64];
        render_stream(&c, text, sizeof(text), RENDER_FIELDS);
        snprintf(expect, sizeof(expect), ":%3.2f:0.00:0.00", v / 100.0);
        ASSERT_STREQ(expect, text);
    }
}

TEST_F(Packet, UnpackRejectsTypesOutOfRange)
{
    const uint8_t ff[] = {0xFF, 0, 0, 0};
    unpacked_stream u;
    EXPECT_EQ(-1, unpack_stream_v2(ff, sizeof(ff), &u));
    EXPECT_TRUE(log.has("unpack failure: stream type (-1) out of range"));
    const uint8_t t20[] = {20, 0, 0, 0};
    EXPECT_EQ(-1, unpack_stream_v2(t20, sizeof(t20), &u));
    EXPECT_TRUE(log.has("unpack failure: stream type (20) out of range"));
}

TEST_F(Packet, VersionOneKeepsFifteenArgumentCharacters)
{
    std::string arg(20, 'q');
    uint8_t buf[64] = {};
    int n = pack_stream(buf, sizeof(buf), arg.c_str(), STREAM_LOAD, 1.0, 2.0, 3.0);
    unpacked_stream u;
    // Values are then read from offset 17, whatever the wire says.
    EXPECT_EQ(17 + 6, unpack_stream_v1(buf, n, &u));
    EXPECT_EQ(std::string(15, 'q'), u.argument);
    EXPECT_EQ(n, unpack_stream_v2(buf, n, &u));
    EXPECT_EQ(arg, u.argument);
}

// A three-record packet body used by the truncation tests.
static int three_records(uint8_t *buf, int room)
{
    int n = pack_stream(buf, room, "", STREAM_LOAD, 0.5, 1.25, 2.0);
    n += pack_stream(buf + n, room - n, "em0", STREAM_IF, 1ull, 2ull, 3ull, 4ull, 5ull, 6ull,
                     7ull, 8ull, 9ull, 10ull);
    n += pack_stream(buf + n, room - n, "0", STREAM_CPU, 1.0, 2.0, 3.0, 4.0, 90.0);
    return n;
}

TEST_F(Packet, EveryTruncationStopsAtTheLastWholeRecord)
{
    uint8_t whole[256];
    int size = build(whole, sizeof(whole), 42, three_records);
    ASSERT_EQ(15 + 8 + 85 + 13, size);
    const int ends[] = {15 + 8, 15 + 8 + 85, size};
    for (int cut = 15; cut <= size; cut++) {
        // An exact-size heap copy, so ASan sees any read past the end.
        std::vector<uint8_t> bytes(whole, whole + cut);
        uint8_t *data = bytes.empty() ? nullptr : bytes.data();
        int offset = 15, records = 0;
        while (offset < cut) {
            unpacked_stream u;
            int used = unpack_stream_v2(data + offset, cut - offset, &u);
            if (used <= 0)
                break;
            offset += used;
            records++;
        }
        int expect = 0;
        for (int end : ends)
            expect += end <= cut;
        EXPECT_EQ(expect, records) << "cut at " << cut;
    }
}

TEST_F(Packet, CorruptedArgumentWithoutTerminatorIsRefused)
{
    // Type, then argument bytes up to the very end: no terminator, no values.
    std::vector<uint8_t> bytes = {STREAM_LOAD, 'a', 'b', 'c'};
    unpacked_stream u;
    EXPECT_EQ(0, unpack_stream_v2(bytes.data(), static_cast<int>(bytes.size()), &u));
    // A lone type byte is too short to hold the zero byte.
    EXPECT_EQ(0, unpack_stream_v2(bytes.data(), 1, &u));
}

TEST_F(Packet, FlippedBitsChangeTheCrc)
{
    uint8_t buf[256];
    int size = build(buf, sizeof(buf), 7, three_records);
    uint32_t good;
    {
        packet_header h;
        header_from_wire(buf, &h);
        good = h.crc;
        memset(buf, 0, 4);
    }
    EXPECT_EQ(good, crc32_compute(buf, static_cast<size_t>(size)));
    for (int byte = 4; byte < size; byte++)
        for (int bit = 0; bit < 8; bit++) {
            buf[byte] ^= static_cast<uint8_t>(1 << bit);
            EXPECT_NE(good, crc32_compute(buf, static_cast<size_t>(size)));
            buf[byte] ^= static_cast<uint8_t>(1 << bit);
        }
}

} // namespace
