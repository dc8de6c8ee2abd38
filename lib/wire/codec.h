// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Big-endian encoding of fixed-width integers, byte by byte, so that wire
// bytes never depend on the host's layout or alignment. Written as single
// shift expressions, which compilers turn into one load or store and a
// byte swap.
#pragma once

#include <cstdint>

inline void encode_fixed16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void encode_fixed32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void encode_fixed64(uint8_t *p, uint64_t v)
{
    encode_fixed32(p, static_cast<uint32_t>(v >> 32));
    encode_fixed32(p + 4, static_cast<uint32_t>(v));
}

// The low width bytes of v (1, 2, 4 or 8).
inline void encode_width(uint8_t *p, uint64_t v, int width)
{
    switch (width) {
    case 8:
        encode_fixed64(p, v);
        break;
    case 4:
        encode_fixed32(p, static_cast<uint32_t>(v));
        break;
    case 2:
        encode_fixed16(p, static_cast<uint16_t>(v));
        break;
    default:
        p[0] = static_cast<uint8_t>(v);
    }
}

inline uint16_t decode_fixed16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t decode_fixed32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

inline uint64_t decode_fixed64(const uint8_t *p)
{
    return static_cast<uint64_t>(decode_fixed32(p)) << 32 | decode_fixed32(p + 4);
}
