// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A received datagram, walked record by record and rendered as the
// multiplexer does, bounded by the bytes received.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "crc32.h"
#include "error.h"
#include "packet.h"
#include "types.h"

static void quiet(int, const char *, ...) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    daemonized = 1;
    log_syslog = quiet;
    if (size < PACKET_HEADER_SIZE)
        return 0;
    // An exact-size copy: any read past the datagram is caught.
    std::vector<uint8_t> bytes(data, data + size);
    packet_header h;
    int offset = header_from_wire(bytes.data(), &h);
    int end = h.length < size ? h.length : static_cast<int>(size);
    char line[1024];
    while (offset < end) {
        unpacked_stream u;
        int used = h.version == 1 ? unpack_stream_v1(bytes.data() + offset, end - offset, &u)
                                  : unpack_stream_v2(bytes.data() + offset, end - offset, &u);
        if (used <= 0)
            break;
        offset += used;
        if (stream_type_named(u.type))
            snprintf(line, sizeof(line), "%s:%s:", stream_type_name(u.type), u.argument);
        render_stream(&u, line, sizeof(line), RENDER_FIELDS);
        render_stream(&u, line, 40, RENDER_PRETTY);
    }
    crc32_compute(bytes.data(), size);
    return 0;
}
