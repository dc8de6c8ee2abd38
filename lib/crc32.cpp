#include "crc32.h"

#include <cstring>

enum : uint32_t { CRC32_POLYNOMIAL = 0x04C11DB7 };

uint32_t crc32_slices[CRC32_SLICES][256];
uint32_t (&crc32_table)[256] = crc32_slices[0];

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
}

// Eight bytes at a time: the first four are folded into the register, and
// each of the eight contributes through the table of its distance from the
// end of the block. The byte order is fixed, so the host's does not matter.
uint32_t crc32_compute(const uint8_t *bytes, size_t count)
{
    if (count == 0)
        return 0;
    uint32_t crc = 0xFFFFFFFFu;
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
    return ~crc;
}
