// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// CRC-32/BZIP2 (polynomial 0x04C11DB7, MSB first, init and final XOR
// 0xFFFFFFFF) over a whole packet. Each daemon fills the tables once at
// start-up: the byte table, and seven more derived from it so that eight
// bytes are folded in per step; where the processor multiplies without
// carries, longer packets fold sixteen bytes a step. The result is always
// the byte-wise one.
#pragma once

#include <cstddef>
#include <cstdint>

enum { CRC32_SLICES = 8 };

// Slice k advances a byte k more places; the byte table is slice 0.
extern uint32_t crc32_slices[CRC32_SLICES][256];
extern uint32_t (&crc32_table)[256];

void crc32_init_table();
uint32_t crc32_compute(const uint8_t *bytes, size_t count);
// The tables alone, whatever the processor.
uint32_t crc32_compute_tables(const uint8_t *bytes, size_t count);
