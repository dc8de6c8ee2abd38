// CRC-32/BZIP2 (polynomial 0x04C11DB7, MSB first, init and final XOR
// 0xFFFFFFFF) over a whole packet, with a 256-entry table that each daemon
// fills once at start-up.
#pragma once

#include <cstddef>
#include <cstdint>

extern uint32_t crc32_table[256];

void crc32_init_table();
uint32_t crc32_compute(const uint8_t *bytes, size_t count);
