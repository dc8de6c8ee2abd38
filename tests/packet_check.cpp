// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "packet_check.h"

#include <cstring>
#include <gtest/gtest.h>

#include "crc32.h"
#include "types.h"

received_packet parse(const std::vector<uint8_t> &bytes)
{
    received_packet p;
    p.bytes = bytes;
    EXPECT_GE(bytes.size(), 15u);
    if (bytes.size() < 15)
        return p;
    header_from_wire(bytes.data(), &p.header);
    EXPECT_EQ(bytes.size(), p.header.length);
    EXPECT_EQ(2, p.header.version);
    std::vector<uint8_t> zeroed = bytes;
    memset(zeroed.data(), 0, 4);
    crc32_init_table();
    EXPECT_EQ(p.header.crc, crc32_compute(zeroed.data(), zeroed.size()));
    int offset = 15;
    while (offset < static_cast<int>(bytes.size())) {
        unpacked_stream u;
        int used = unpack_stream_v2(bytes.data() + offset, static_cast<int>(bytes.size()) - offset, &u);
        if (used <= 0)
            break;
        p.types.push_back(u.type);
        p.streams.push_back(u);
        offset += used;
    }
    EXPECT_EQ(static_cast<int>(bytes.size()), offset);
    return p;
}

uint64_t value_of(const unpacked_stream &s, int i)
{
    const char *format = stream_type_format(s.type);
    const uint8_t *p = s.data;
    for (int k = 0; k < i; k++)
        p += value_byte_width(format[k]);
    switch (value_byte_width(format[i])) {
    case 8: {
        uint64_t v;
        memcpy(&v, p, 8);
        return v;
    }
    case 4: {
        uint32_t v;
        memcpy(&v, p, 4);
        return v;
    }
    case 2: {
        uint16_t v;
        memcpy(&v, p, 2);
        return v;
    }
    default:
        return *p;
    }
}
