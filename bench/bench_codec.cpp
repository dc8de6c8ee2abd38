// Codec figures: CRC-32 throughput, the cost of building a 20-stream packet
// (pack, header, CRC), and of unpacking and rendering it, with the number of
// heap allocations each path made.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "alloc_count.h"
#include "crc32.h"
#include "error.h"
#include "packet.h"
#include "types.h"

using bench_clock = std::chrono::steady_clock;

static double seconds_since(bench_clock::time_point start)
{
    return std::chrono::duration<double>(bench_clock::now() - start).count();
}

static int build_packet(uint8_t *buf, int size, uint64_t now)
{
    memset(buf, 0, static_cast<size_t>(size));
    packet_header h = {now, 0, 0, PACKET_VERSION};
    int offset = header_to_wire(buf, &h);
    static const char *args[] = {"em0", "em1", "ada0", "ada1", "0", "1", "2", "3"};
    for (int i = 0; i < 20; i++) {
        uint8_t *p = buf + offset;
        int room = size - offset;
        switch (i % 5) {
        case 0:
            offset += pack_stream(p, room, args[i % 8], STREAM_IF, 1ull, 2ull, 3ull, 4ull, 5ull,
                                  6ull, 7ull, 8ull, 9ull, 10ull);
            break;
        case 1:
            offset += pack_stream(p, room, args[i % 8], STREAM_CPU, 1.5, 0.0, 3.25, 0.5, 94.75);
            break;
        case 2:
            offset += pack_stream(p, room, args[i % 8], STREAM_IO, 1ull, 2ull, 0ull, 4ull, 5ull);
            break;
        case 3:
            offset += pack_stream(p, room, "", STREAM_LOAD, 0.25, 0.5, 1.0);
            break;
        default:
            offset += pack_stream(p, room, "", STREAM_MEM, 1ull << 30, 1ull << 31, 1ull << 29,
                                  0ull, 1ull << 32);
        }
    }
    h.length = static_cast<uint16_t>(offset);
    header_to_wire(buf, &h);
    h.crc = crc32_compute(buf, static_cast<size_t>(offset));
    header_to_wire(buf, &h);
    return offset;
}

int main()
{
    crc32_init_table();

    std::vector<uint8_t> block(16 << 20);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<uint8_t>(i * 131);
    uint32_t sink = 0;
    size_t before = allocation_count();
    auto start = bench_clock::now();
    int rounds = 8;
    for (int r = 0; r < rounds; r++)
        sink ^= crc32_compute(block.data(), block.size());
    double s = seconds_since(start);
    printf("crc32: %.1f MB/s (%zu allocations)\n", rounds * block.size() / s / 1e6,
           allocation_count() - before);

    uint8_t packet[2048];
    const int packets = 1000000;
    int size = 0;
    before = allocation_count();
    start = bench_clock::now();
    for (int i = 0; i < packets; i++)
        size = build_packet(packet, sizeof(packet), 1700000000u + i);
    s = seconds_since(start);
    printf("build 20-stream packet (%d bytes): %.0f ns/packet (%zu allocations)\n", size,
           s / packets * 1e9, allocation_count() - before);

    char line[4096];
    before = allocation_count();
    start = bench_clock::now();
    for (int i = 0; i < packets / 4; i++) {
        int offset = PACKET_HEADER_SIZE, used = 0;
        while (offset < size) {
            unpacked_stream u;
            int n = unpack_stream_v2(packet + offset, size - offset, &u);
            if (n <= 0)
                break;
            offset += n;
            used += render_stream(&u, line, sizeof(line), RENDER_FIELDS);
        }
        sink ^= static_cast<uint32_t>(used);
    }
    s = seconds_since(start);
    printf("unpack and render 20-stream packet: %.0f ns/packet (%zu allocations)\n",
           s / (packets / 4) * 1e9, allocation_count() - before);
    return sink == 0x12345678u;
}
