// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The packet CRC: tables eight bytes a step anywhere, and on x86-64
// processors that multiply without carries, sixteen bytes a step by folding,
// chosen once at start-up. Both give the byte-wise result.
#include "crc32.h"

#include <cstring>

enum : uint32_t { CRC32_POLYNOMIAL = 0x04C11DB7 };

uint32_t crc32_slices[CRC32_SLICES][256];
uint32_t (&crc32_table)[256] = crc32_slices[0];

// The register after the bytes, from the register before them. Eight bytes
// at a time: the first four are folded into the register, and each of the
// eight contributes through the table of its distance from the end of the
// block. The byte order is fixed, so the host's does not matter.
static uint32_t crc32_update(uint32_t crc, const uint8_t *bytes, size_t count)
{
    for (; count >= CRC32_SLICES; count -= CRC32_SLICES, bytes += CRC32_SLICES) {
        uint32_t high = crc ^ (static_cast<uint32_t>(bytes[0]) << 24 |
                               static_cast<uint32_t>(bytes[1]) << 16 |
                               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3]);
        crc = crc32_slices[7][high >> 24] ^ crc32_slices[6][(high >> 16) & 0xFF] ^
              crc32_slices[5][(high >> 8) & 0xFF] ^ crc32_slices[4][high & 0xFF] ^
              crc32_slices[3][bytes[4]] ^ crc32_slices[2][bytes[5]] ^
              crc32_slices[1][bytes[6]] ^ crc32_slices[0][bytes[7]];
    }
    for (; count > 0; count--, bytes++)
        crc = (crc << 8) ^ crc32_table[(crc >> 24) ^ *bytes];
    return crc;
}

uint32_t crc32_compute_tables(const uint8_t *bytes, size_t count)
{
    return count == 0 ? 0 : ~crc32_update(0xFFFFFFFFu, bytes, count);
}

// x^n modulo the polynomial, bit i the coefficient of x^i.
static uint32_t power_of_x(int n)
{
    uint32_t r = 1;
    for (int i = 0; i < n; i++)
        r = (r & 0x80000000u) ? (r << 1) ^ CRC32_POLYNOMIAL : r << 1;
    return r;
}

// Below this many bytes folding gains nothing.
enum { FOLD_MIN = 32 };

static uint32_t (*crc32_fast)(const uint8_t *, size_t);

#if defined(__x86_64__)
#include <immintrin.h>

static uint64_t fold_high, fold_low; // x^192 and x^128 modulo the polynomial

// The sixteen bytes in the other order: memory's first byte becomes the
// value's highest, and back.
__attribute__((target("pclmul,ssse3"))) static __m128i reversed(__m128i v)
{
    return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// Sixteen bytes as one 128-bit polynomial, the first byte highest.
__attribute__((target("pclmul,ssse3"))) static __m128i load_block(const uint8_t *p)
{
    return reversed(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// The message so far, kept as a 128-bit value of the same remainder:
// appending a block B to X = H x^64 + L gives H x^192 + L x^128 + B, and
// the two powers are replaced by their 32-bit remainders. What is left,
// its sixteen bytes and the tail, goes through the tables.
__attribute__((target("pclmul,ssse3"))) static uint32_t crc32_clmul(const uint8_t *bytes,
                                                                    size_t count)
{
    const __m128i powers = _mm_set_epi64x(static_cast<long long>(fold_high),
                                          static_cast<long long>(fold_low));
    // The initial register is the first four bytes inverted.
    __m128i x = _mm_xor_si128(load_block(bytes), _mm_set_epi32(-1, 0, 0, 0));
    size_t done = 16;
    for (; count - done >= 16; done += 16)
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, powers, 0x11),
                                        _mm_clmulepi64_si128(x, powers, 0x00)),
                          load_block(bytes + done));
    uint8_t rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(rest), reversed(x));
    uint32_t crc = crc32_update(0, rest, sizeof(rest));
    return ~crc32_update(crc, bytes + done, count - done);
}

static void choose_fast()
{
    fold_high = power_of_x(192);
    fold_low = power_of_x(128);
    if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3"))
        crc32_fast = crc32_clmul;
}
#else
static void choose_fast()
{
}
#endif

void crc32_init_table()
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 0x80000000u) ? (c << 1) ^ CRC32_POLYNOMIAL : c << 1;
        crc32_table[i] = c;
    }
    for (int k = 1; k < CRC32_SLICES; k++)
        for (int i = 0; i < 256; i++) {
            uint32_t c = crc32_slices[k - 1][i];
            crc32_slices[k][i] = (c << 8) ^ crc32_table[c >> 24];
        }
    choose_fast();
}

uint32_t crc32_compute(const uint8_t *bytes, size_t count)
{
    if (crc32_fast && count >= FOLD_MIN)
        return crc32_fast(bytes, count);
    return crc32_compute_tables(bytes, count);
}
