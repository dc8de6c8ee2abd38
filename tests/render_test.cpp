// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The field renderer against the one it replaced, kept here as the
// reference: every edge value of each format (digit-count and power-of-two
// boundaries, every value below 10^5, the extremes), then random values of
// every length.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "packet.h"
#include "types.h"

namespace {

const char PAIRS[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                     "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                     "8081828384858687888990919293949596979899";

char *reference_digits32(char *end, uint32_t v, int width)
{
    char *p = end;
    while (v >= 100) {
        unsigned pair = (v % 100) * 2;
        v /= 100;
        *--p = PAIRS[pair + 1];
        *--p = PAIRS[pair];
    }
    if (v >= 10) {
        *--p = PAIRS[v * 2 + 1];
        *--p = PAIRS[v * 2];
    } else if (v > 0 || p == end) {
        *--p = static_cast<char>('0' + v);
    }
    while (end - p < width)
        *--p = '0';
    return p;
}

std::string reference_unsigned(uint64_t v)
{
    char digits[24];
    char *end = digits + sizeof(digits);
    char *p = end;
    for (; v >= 100000000u; v /= 100000000u)
        p = reference_digits32(p, static_cast<uint32_t>(v % 100000000u), 8);
    p = reference_digits32(p, static_cast<uint32_t>(v), 0);
    return ":" + std::string(p, end);
}

std::string reference_value(char format, const uint8_t *d)
{
    uint64_t v64;
    int64_t d64;
    uint32_t v32;
    uint16_t v16;
    char text[32];
    switch (format) {
    case 'L':
        memcpy(&v64, d, 8);
        return reference_unsigned(v64);
    case 'D':
        memcpy(&d64, d, 8);
        snprintf(text, sizeof(text), ":%7.6f", static_cast<double>(d64) / 1000 / 1000);
        return text;
    case 'l':
        memcpy(&v32, d, 4);
        return reference_unsigned(v32);
    case 's':
        memcpy(&v16, d, 2);
        return reference_unsigned(v16);
    case 'c': {
        memcpy(&v16, d, 2);
        std::string s = reference_unsigned(v16 / 100u);
        return s + '.' + static_cast<char>('0' + (v16 % 100u) / 10) + static_cast<char>('0' + v16 % 10u);
    }
    default:
        return reference_unsigned(d[0]);
    }
}

// Renders the values given, slot by slot of the all-formats stream (24
// values of every width), each as many of its low bytes as its slot is
// wide; with every_slot, each value lands in every slot in turn. The first
// mismatch, or "".
std::string mismatch(const std::vector<uint64_t> &values, bool every_slot)
{
    const char *formats = stream_type_format(STREAM_ALLFORMATS);
    size_t slots = strlen(formats);
    unpacked_stream u = {};
    u.type = STREAM_ALLFORMATS;
    for (size_t first = 0; first < values.size(); first += every_slot ? 1 : slots) {
        std::string expect;
        int in = 0;
        for (size_t i = 0; i < slots; i++) {
            uint64_t v = values[(first + i) % values.size()];
            int width = value_byte_width(formats[i]);
            memcpy(u.data + in, &v, static_cast<size_t>(width));
            expect += reference_value(formats[i], u.data + in);
            in += width;
        }
        char text[512];
        if (render_stream(&u, text, sizeof(text), RENDER_FIELDS) <= 0 || expect != text)
            return expect + " but " + text;
    }
    return "";
}

TEST(Render, FieldsEqualTheFormerRendererAtEveryEdge)
{
    std::vector<uint64_t> values;
    for (uint64_t v = 0; v < 100000; v++)
        values.push_back(v);
    std::vector<uint64_t> edges = {UINT64_MAX, UINT32_MAX, UINT16_MAX, UINT8_MAX,
                                   static_cast<uint64_t>(INT64_MIN), static_cast<uint64_t>(INT64_MAX)};
    for (uint64_t p = 10; p < UINT64_MAX / 10; p *= 10) {
        edges.push_back(p);
        edges.push_back(p * 10);
    }
    for (int bit = 0; bit < 64; bit++)
        edges.push_back(1ull << bit);
    // The D renderer's own boundary, where it hands over to printf.
    edges.push_back(1000000000000000ull);
    for (uint64_t e : edges)
        for (uint64_t d = 0; d < 64; d++) {
            values.push_back(e + d);
            values.push_back(e - d);
            values.push_back(0 - (e + d)); // negative D values
            values.push_back(0 - (e - d));
        }
    EXPECT_EQ("", mismatch(values, true));
}

TEST(Render, FieldsEqualTheFormerRendererAtRandom)
{
    // Random values of every length: each is shifted by a random amount.
    std::vector<uint64_t> values;
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 2000000; i++) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        uint64_t v = seed >> (seed % 64);
        values.push_back(seed & 1 ? v : 0 - v);
    }
    EXPECT_EQ("", mismatch(values, false));
}

} // namespace
