// The multiplexer's accept-and-process path: a datagram from a configured
// source in, the FIFO line and the database update texts out, with the
// database calls recorded instead of made. The first input byte chooses
// whether the CRC is made correct, so the fuzzer reaches the output step.
// Every packet must give exactly one whole line, and every update text
// must carry all the values of its stream's type, as the line shows them.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sanitizer/asan_interface.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "colvo.h"
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

struct setup {
    mux_list muxes = {};
    mux *m = nullptr;
    source *src = nullptr;
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
        m = mux_list_add(&muxes, "127.0.0.1 2100");
        src = source_list_add(&m->sources, "10.0.0.5");
        auto *in = reinterpret_cast<sockaddr_in *>(&src->socket_address);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, "10.0.0.5", &in->sin_addr);
        static const struct {
            int type;
            const char *arg;
        } accepted[] = {{STREAM_LOAD, ""}, {STREAM_CPU, "0"},  {STREAM_IF, "em0"},
                        {STREAM_IO1, "ada0"}, {STREAM_MEM1, ""}, {STREAM_PROC, "sshd"},
                        {STREAM_SENSOR, "t"}, {STREAM_SMART, "ada0"}, {STREAM_PF, ""}};
        for (auto &a : accepted) {
            stream *s = source_add_stream(src, a.type, a.arg);
            s->rrd_file = strdup(stream_type_format(a.type));
        }
        mux_init_receive_packet(m);
        churn_size = source_list_max_text_size(&m->sources);
        churn = static_cast<char *>(malloc(static_cast<size_t>(churn_size)));
        int ends[2];
        if (pipe2(ends, O_NONBLOCK) != 0)
            abort();
        sink = ends[0];
        output_init(&out, ends[1]);
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static setup s;
    if (size < 1)
        return 0;
    bool fix_crc = data[0] & 1;
    data++;
    size--;
    int received = static_cast<int>(size < static_cast<size_t>(s.m->packet_size) ? size : s.m->packet_size);
    memcpy(s.m->packet, data, static_cast<size_t>(received));
    if (fix_crc && received >= PACKET_HEADER_SIZE) {
        memset(s.m->packet, 0, 4);
        uint32_t crc = crc32_compute(s.m->packet, static_cast<size_t>(received));
        for (int i = 0; i < 4; i++)
            s.m->packet[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
    // Older, longer packets stay in the buffer; reading them is the bug
    // this poisoning catches.
    ASAN_POISON_MEMORY_REGION(s.m->packet + received, static_cast<size_t>(s.m->packet_size - received));
    sockaddr_storage from = source_socket_address(s.src);
    source *found = nullptr;
    update_texts.clear();
    update_formats.clear();
    if (accept_datagram(s.m, received, &from, &found)) {
        process_packet(s.m, found, received, s.churn, s.churn_size, &s.out);
        output_flush(&s.out);
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
    ASAN_UNPOISON_MEMORY_REGION(s.m->packet, static_cast<size_t>(s.m->packet_size));
    return 0;
}
