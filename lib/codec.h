// Big-endian encoding of fixed-width integers, byte by byte, so that wire
// bytes never depend on the host's layout or alignment.
#pragma once

#include <cstdint>

inline void encode_fixed16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void encode_fixed32(uint8_t *p, uint32_t v)
{
    for (int i = 3; i >= 0; i--, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

inline void encode_fixed64(uint8_t *p, uint64_t v)
{
    for (int i = 7; i >= 0; i--, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

inline uint16_t decode_fixed16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t decode_fixed32(const uint8_t *p)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v = (v << 8) | p[i];
    return v;
}

inline uint64_t decode_fixed64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = (v << 8) | p[i];
    return v;
}
