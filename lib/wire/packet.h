// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The packet wire format: a 15-byte big-endian header (CRC-32, timestamp,
// length, version) followed by one record per stream (type byte, argument,
// zero byte, big-endian values). Packing writes straight into the caller's
// buffer; unpacking is bounded by the bytes the caller says are there;
// rendering turns unpacked values into text. Nothing here allocates.
#pragma once

#include <cstdarg>
#include <cstdint>

enum {
    PACKET_HEADER_SIZE = 15,
    PACKET_VERSION = 2,
    PACKET_MAX_ARGUMENT = 63,
    UNPACK_ARGUMENT_V2 = 64,
    UNPACK_ARGUMENT_V1 = 16,
    UNPACKED_DATA_SIZE = 176,
};

enum render_style { RENDER_PRETTY = 0, RENDER_FIELDS = 1 };

struct packet_header {
    uint64_t timestamp;
    uint32_t crc;
    uint16_t length;
    uint8_t version;
};

struct unpacked_stream {
    int type;
    char argument[UNPACK_ARGUMENT_V2];
    uint8_t data[UNPACKED_DATA_SIZE]; // host order, back to back, no alignment
};

int header_to_wire(uint8_t *wire, const packet_header *header);
int header_from_wire(const uint8_t *wire, packet_header *header);

// Builds one record at buf with room for capacity bytes; the values follow,
// one per format character: L as unsigned long long, l, s and b as unsigned
// int, D and c as double. Returns the bytes written.
int pack_stream(uint8_t *buf, int capacity, const char *argument, int type, ...);
int pack_stream_list(uint8_t *buf, int capacity, const char *argument, int type, va_list ap);

// Reads one record of at most available bytes. Returns its size, -1 for a
// bad type, 0 for a bad format or a record that would run past available.
// The warnings are limited for log_owner (error.h; the sender of the
// datagram, or null).
int unpack_stream(int capacity, const uint8_t *record, int available, unpacked_stream *result,
                  const void *log_owner = nullptr);
int unpack_stream_v2(const uint8_t *record, int available, unpacked_stream *result,
                     const void *log_owner = nullptr);
int unpack_stream_v1(const uint8_t *record, int available, unpacked_stream *result,
                     const void *log_owner = nullptr);

int render_stream(const unpacked_stream *s, char *buf, int capacity, int style,
                  const void *log_owner = nullptr);

// 1, with a warning (limited for log_owner), when extra bytes at current
// reach max.
int buffer_would_overflow(int max, int current, int extra, const void *log_owner = nullptr);
