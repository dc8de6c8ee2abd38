// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Codec figures: CRC-32 throughput, the cost of building a 20-stream packet
// (pack, header, CRC), and of unpacking and rendering it, with the number of
// heap allocations each path made. Then colvo's whole per-packet path in
// process, for 10 to 10,000 configured sources: the same figure as
// bench_colvo's scale series without the kernel's share and its noise.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include "alloc_count.h"
#include "auth_check.h"
#include "intake.h"
#include "output.h"
#include "readconf.h"
#include "receiver.h"
#include "colvo_run.h"
#include "crc32.h"
#include "error.h"
#include "net.h"
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

static void quiet(int, const char *, ...) {}

// The spread sources, each accepting if(em0) to if(em9), configured as an
// administrator would write them; packets from them at random, FIFO line
// to the null device. Nanoseconds per packet.
static double spread_ns(const std::string &dir, int sources, int null)
{
    std::string path = spread_conf(dir, 2100, sources);
    mux_list muxes = {};
    // Quiet: every stream warns that it has no database file.
    daemonized = 1;
    log_syslog = quiet;
    int loaded = load_config(&muxes, path.c_str(), 0);
    daemonized = 0;
    unlink(path.c_str());
    if (!loaded) {
        mux_list_free(&muxes);
        return 0;
    }
    mux *m = muxes.first;
    int room = mux_receive_size(m);
    for (source *src = m->sources.first; src; src = src->next)
        lookup_source_address(src, AF_INET);
    source_list_index_addresses(&m->sources);
    int churn_size = source_list_max_text_size(&m->sources);
    char *churn = static_cast<char *>(malloc(static_cast<size_t>(churn_size)));
    std::vector<uint8_t> packet = if_packet(1700000000u);
    std::vector<sockaddr_storage> from(static_cast<size_t>(sources));
    for (int i = 0; i < sources; i++) {
        sockaddr_in in = loopback(spread_host(i), 0);
        memcpy(&from[static_cast<size_t>(i)], &in, sizeof(in));
    }
    output_state out;
    output_init(&out, null);
    std::vector<uint8_t> slot(static_cast<size_t>(room));
    uint32_t pick = 12345;
    const int packets = 200000;
    auto start = bench_clock::now();
    for (int i = 0; i < packets; i++) {
        pick = pick * 1103515245u + 12345u;
        memcpy(slot.data(), packet.data(), packet.size());
        source *found = nullptr;
        datagram d = {slot.data(), static_cast<int>(packet.size()), room,
                      &from[(pick >> 8) % static_cast<uint32_t>(sources)], {}, 0};
        if (accept_datagram(m, &d, &found))
            process_packet(found, &d, churn, churn_size, &out);
        fifo_flush(&out.fifo);
        output_summarise(&out);
    }
    double ns = seconds_since(start) / packets * 1e9;
    output_finish(&out);
    free(churn);
    mux_list_free(&muxes);
    return ns;
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

    // The multiplexer's whole per-packet path, FIFO line to /dev/null.
    mux_list muxes = {};
    mux *m = mux_list_add(&muxes, "127.0.0.1 2100");
    source *src = source_list_add(&m->sources, "10.0.0.5");
    auto *in = reinterpret_cast<sockaddr_in *>(&src->socket_address);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, "10.0.0.5", &in->sin_addr);
    for (const char *a : {"em0", "em1", "ada0", "ada1", "0", "1", "2", "3"})
        for (int type : {STREAM_IF, STREAM_CPU, STREAM_IO})
            source_add_stream(src, type, a);
    source_add_stream(src, STREAM_LOAD, "");
    source_add_stream(src, STREAM_MEM, "");
    int room = mux_receive_size(m);
    int churn_size = source_list_max_text_size(&m->sources);
    char *churn = static_cast<char *>(malloc(static_cast<size_t>(churn_size)));
    int null = open("/dev/null", O_WRONLY);
    output_state out;
    output_init(&out, null);
    std::vector<uint8_t> slot(static_cast<size_t>(room));
    before = allocation_count();
    start = bench_clock::now();
    sockaddr_storage from = {};
    memcpy(&from, &src->socket_address, sizeof(src->socket_address));
    for (int i = 0; i < packets / 4; i++) {
        memcpy(slot.data(), packet, static_cast<size_t>(size));
        source *found = nullptr;
        datagram d = {slot.data(), size, room, &from, {}, 0};
        if (accept_datagram(m, &d, &found))
            process_packet(found, &d, churn, churn_size, &out);
        fifo_flush(&out.fifo);
        output_summarise(&out);
    }
    s = seconds_since(start);
    printf("colvo accept and process 20-stream packet: %.0f ns/packet (%zu allocations)\n",
           s / (packets / 4) * 1e9, allocation_count() - before);
    printf("colvo accept and process 10-stream packet from one of n sources at random:\n");
    double at_few = 0;
    char tmpl[] = "/tmp/benchcodec.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        fprintf(stderr, "no directory for the configurations: no figure\n");
        return 1;
    }
    std::string dir = tmpl;
    int status = sink == 0x12345678u;
    for (int sources : {10, 100, 1000, 10000}) {
        double ns = spread_ns(dir, sources, null);
        if (ns <= 0) {
            // A configuration that did not load: no figure for it.
            fprintf(stderr, "  %5d sources: the configuration did not load: no figure\n", sources);
            status = 1;
            continue;
        }
        if (at_few == 0)
            at_few = ns;
        printf("  %5d sources: %.0f ns/packet (%.2fx the cost at 10)\n", sources, ns, ns / at_few);
    }
    rmdir(dir.c_str());
    return status;
}
