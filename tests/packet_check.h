// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Datagrams from the real monitor, checked as colvo would check them
// (length, version, CRC) and walked record by record.
#pragma once

#include <cstdint>
#include <vector>

#include "packet.h"

struct received_packet {
    packet_header header;
    std::vector<uint8_t> bytes;
    std::vector<int> types;
    std::vector<unpacked_stream> streams;
};

received_packet parse(const std::vector<uint8_t> &bytes);

// Value i of an unpacked stream, by its type's format.
uint64_t value_of(const unpacked_stream &s, int i);
