#include "crc32.h"

enum : uint32_t { CRC32_POLYNOMIAL = 0x04C11DB7 };

uint32_t crc32_table[256];

void crc32_init_table()
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 0x80000000u) ? (c << 1) ^ CRC32_POLYNOMIAL : c << 1;
        crc32_table[i] = c;
    }
}

uint32_t crc32_compute(const uint8_t *bytes, size_t count)
{
    if (count == 0)
        return 0;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; i++)
        crc = (crc << 8) ^ crc32_table[(crc >> 24) ^ bytes[i]];
    return ~crc;
}
