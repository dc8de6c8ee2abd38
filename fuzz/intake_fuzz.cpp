// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The multiplexer's accept-and-process path: a datagram from a configured
// source in, the FIFO line and the database update texts out, with the
// database calls recorded instead of made. The first input byte chooses
// whether the CRC is made correct, so the fuzzer reaches the output step,
// whether the datagram comes from the source with a key, and whether it is
// signed with that key (its length field set to leave room for the
// authenticator), so the fuzzer reaches the boot and sequence checks.
// Every packet must give exactly one whole line, every update text must
// carry all the values of its stream's type, as the line shows them, and
// the keyed source takes nothing that was not signed with its key.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sanitizer/asan_interface.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "intake.h"
#include "output.h"
#include "auth.h"
#include "codec.h"
#include "crc32.h"
#include "error.h"
#include "types.h"

static void quiet(int, const char *, ...) {}

// Each stream's file is named by its type's format, so the count of values
// an update must carry is known.
static std::vector<std::string> update_texts;
static std::vector<std::string> update_formats;
static int record_update(int argc, char **argv)
{
    if (argc != 4)
        abort();
    update_formats.push_back(argv[2]);
    update_texts.push_back(argv[3]);
    return 0;
}
static int never() { return 0; }
static const char *no_error() { return ""; }
static void clear() {}
static const rrd_backend recorder = {record_update, never, no_error, clear};

// The seeds' time, so the fuzzer can stay within the allowed skew.
static time_t fixed_clock(time_t *)
{
    return 1700000000;
}

static const uint8_t KEY[KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                      17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct setup {
    mux_list muxes = {};
    mux *m = nullptr;
    source *src = nullptr;
    source *keyed = nullptr;
    auth_key *signer = nullptr;
    uint8_t *slot = nullptr; // a receive batch's slot
    int room = 0;            // its size
    char *churn = nullptr;
    int churn_size = 0;
    int sink = -1;
    output_state out;

    setup()
    {
        daemonized = 1;
        debug_mode = 1;
        log_syslog = quiet;
        crc32_init_table();
        rrd_backend_current = &recorder;
        log_clock = fixed_clock;
        m = mux_list_add(&muxes, "127.0.0.1 2100");
        keyed = add_source("10.0.0.6");
        keyed->auth = auth_config_new(auth_key_new(KEY));
        signer = auth_key_new(KEY);
        src = add_source("10.0.0.5");
        static const struct {
            int type;
            const char *arg;
        } accepted[] = {{STREAM_LOAD, ""}, {STREAM_CPU, "0"},  {STREAM_IF, "em0"},
                        {STREAM_IO1, "ada0"}, {STREAM_MEM1, ""}, {STREAM_PROC, "sshd"},
                        {STREAM_SENSOR, "t"}, {STREAM_SMART, "ada0"}, {STREAM_PF, ""}};
        for (source *each : {src, keyed})
            for (auto &a : accepted) {
                stream *s = source_add_stream(each, a.type, a.arg);
                s->rrd_file = strdup(stream_type_format(a.type));
            }
        source_list_index_addresses(&m->sources);
        room = mux_receive_size(m);
        slot = static_cast<uint8_t *>(malloc(static_cast<size_t>(room)));
        churn_size = source_list_max_text_size(&m->sources);
        churn = static_cast<char *>(malloc(static_cast<size_t>(churn_size)));
        int ends[2];
        if (pipe2(ends, O_NONBLOCK) != 0)
            abort();
        sink = ends[0];
        output_init(&out, ends[1]);
    }

    source *add_source(const char *address)
    {
        source *added = source_list_add(&m->sources, address);
        auto *in = reinterpret_cast<sockaddr_in *>(&added->socket_address);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, address, &in->sin_addr);
        return added;
    }
};

// Makes the datagram's MAC right for its bytes, as a sender with the key
// would: the records end AUTH_SIZE bytes before the end.
static void sign(setup *s, int received)
{
    int length = received - AUTH_SIZE;
    uint8_t *p = s->slot;
    encode_fixed16(p + 12, static_cast<uint16_t>(length));
    memset(p, 0, 4);
    authenticator a = {AUTH_KIND_HMAC_SHA256_128, {}, decode_fixed64(p + length + AUTH_SEQUENCE)};
    memcpy(a.boot, p + length + AUTH_BOOT, sizeof(a.boot));
    auth_sign(s->signer, p, length, &a);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static setup s;
    if (size < 1)
        return 0;
    bool fix_crc = data[0] & 1, from_keyed = data[0] & 2, signed_here = data[0] & 4;
    data++;
    size--;
    int received = static_cast<int>(size < static_cast<size_t>(s.room) ? size : s.room);
    memcpy(s.slot, data, static_cast<size_t>(received));
    signed_here = signed_here && received >= PACKET_HEADER_SIZE + AUTH_SIZE;
    if (signed_here)
        sign(&s, received);
    if (fix_crc && received >= PACKET_HEADER_SIZE) {
        memset(s.slot, 0, 4);
        uint32_t crc = crc32_compute(s.slot, static_cast<size_t>(received));
        for (int i = 0; i < 4; i++)
            s.slot[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
    // Older, longer packets stay in the buffer; reading them is the bug
    // this poisoning catches.
    ASAN_POISON_MEMORY_REGION(s.slot + received, static_cast<size_t>(s.room - received));
    sockaddr_storage from = {};
    const source *sender = from_keyed ? s.keyed : s.src;
    memcpy(&from, &sender->socket_address, sizeof(sender->socket_address));
    source *found = nullptr;
    update_texts.clear();
    update_formats.clear();
    datagram d = {s.slot, received, s.room, &from, {}, 0};
    if (accept_datagram(s.m, &d, &found)) {
        if (found == s.keyed && !signed_here)
            abort(); // taken without the key
        process_packet(found, &d, s.churn, s.churn_size, &s.out);
        fifo_flush(&s.out.fifo);
        output_summarise(&s.out);
        char line[70000];
        ssize_t n = read(s.sink, line, sizeof(line));
        if (n <= 0 || memchr(line, '\n', static_cast<size_t>(n)) != line + n - 1)
            abort(); // one whole line per packet
        std::string text(line, static_cast<size_t>(n));
        for (size_t i = 0; i < update_texts.size(); i++) {
            size_t colons = 0;
            for (char c : update_texts[i])
                colons += c == ':';
            if (colons != update_formats[i].size() || text.find(update_texts[i] + ";") == std::string::npos)
                abort(); // a cut update text
        }
    }
    ASAN_UNPOISON_MEMORY_REGION(s.slot, static_cast<size_t>(s.room));
    return 0;
}
