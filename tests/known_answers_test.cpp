// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo's answers to a fixed corpus of datagrams, held against a recorded
// transcript: every datagram's bytes, the messages and database updates it
// gives, then the FIFO's and a live client's lines. The corpus walks every
// stream type and every way a datagram is refused (unknown sender, short,
// bad CRC, oversized, new version, cut records, bad types, unaccepted or
// repeated streams, a time ahead of ours, unsigned, replayed, forged and
// skewed packets of a keyed source, failing databases), under a fixed
// clock. KNOWN_ANSWERS_WRITE=1 writes the transcript anew instead.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "auth.h"
#include "auth_check.h"
#include "intake.h"
#include "output.h"
#include "readconf.h"
#include "receiver.h"
#include "xmalloc.h"
#include "crc32.h"
#include "error.h"
#include "live.h"
#include "log_capture.h"
#include "socket_address.h"
#include "temp_dir.h"
#include "types.h"
#include "xmalloc.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string transcript;
std::string dir;

std::string hidden(std::string text)
{
    for (size_t at; (at = text.find(dir)) != std::string::npos;)
        text.replace(at, dir.size(), "DIR");
    return text;
}

// Files whose name holds "fail" refuse every update.
bool error_pending;
int record_update(int argc, char **argv)
{
    std::string line = "update";
    for (int i = 0; i < argc; i++)
        line += std::string(" ") + argv[i];
    transcript += hidden(line) + "\n";
    error_pending = strstr(argv[2], "fail") != nullptr;
    return error_pending ? -1 : 0;
}
int test_error() { return error_pending; }
const char *get_error() { return "opening 'x.rrd': No such file or directory"; }
void clear_error() { error_pending = false; }
const rrd_backend recorder = {record_update, test_error, get_error, clear_error};

time_t now = 1700000000;
time_t fixed_clock(time_t *t)
{
    if (t)
        *t = now;
    return now;
}

const uint8_t KEY[KEY_SIZE] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12, 13, 14, 15, 16,
                               17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

void put(bytes *b, uint64_t value, int width)
{
    for (int i = width - 1; i >= 0; i--)
        b->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A record of the type with values drawn from seed (0: all zero, 1: all
// ones, else a fixed pseudo-random walk).
bytes record(int type, const char *argument, uint64_t seed)
{
    bytes b(1, static_cast<uint8_t>(type));
    for (const char *a = argument;; a++) {
        b.push_back(static_cast<uint8_t>(*a));
        if (*a == '\0')
            break;
    }
    const char *format = type < STREAM_TYPE_COUNT ? stream_type_format(type) : "l";
    for (const char *f = format; *f; f++) {
        uint64_t value = seed == 0 ? 0 : seed == 1 ? ~0ULL : (seed = seed * 6364136223846793005ULL + 1442695040888963407ULL);
        if (*f == 'D' && seed > 1)
            value = 0x4059000000000000ULL + (seed & 0xffffffffffULL); // near 100.0
        if (*f == 'c' && seed > 1)
            value %= 10001;
        put(&b, value, value_byte_width(*f));
    }
    return b;
}

const char *argument_of(int type)
{
    return catalogue::ROWS[type].argument ? "em0" : "";
}

bytes records(uint64_t seed)
{
    bytes all;
    for (int type = 0; type < STREAM_TYPE_COUNT; type++)
        if (stream_type_named(type)) {
            bytes r = record(type, argument_of(type), seed > 1 ? seed + static_cast<uint64_t>(type) : seed);
            all.insert(all.end(), r.begin(), r.end());
        }
    return all;
}

void stamp_crc(bytes *d)
{
    memset(d->data(), 0, 4);
    uint32_t crc = crc32_compute(d->data(), d->size());
    for (int i = 0; i < 4; i++)
        (*d)[static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

// Header and records; length: the header's length field (-1: the true one).
bytes datagram(const bytes &body, uint64_t timestamp, int version = 2, int length = -1)
{
    bytes d(4, 0);
    put(&d, timestamp, 8);
    put(&d, static_cast<uint64_t>(length < 0 ? 15 + static_cast<int>(body.size()) : length), 2);
    d.push_back(static_cast<uint8_t>(version));
    d.insert(d.end(), body.begin(), body.end());
    stamp_crc(&d);
    return d;
}

bytes signed_datagram(const bytes &body, uint64_t timestamp, uint64_t boot, uint64_t sequence,
                      const uint8_t *key = KEY)
{
    bytes d = datagram(body, timestamp);
    int length = static_cast<int>(d.size());
    d.resize(d.size() + AUTH_SIZE);
    memset(d.data(), 0, 4);
    authenticator a = {AUTH_KIND_HMAC_SHA256_128, {}, sequence};
    for (int i = 0; i < AUTH_BOOT_SIZE; i++)
        a.boot[i] = static_cast<uint8_t>(boot >> (8 * i));
    auth_key *k = auth_key_new(key);
    auth_sign(k, d.data(), length, &a);
    auth_key_free(k);
    stamp_crc(&d);
    return d;
}

struct harness {
    mux_list muxes = {};
    mux *m = nullptr;
    int receive_size = 0;
    receiver r;
    output_state out;
    live_server live;
    char *churn = nullptr;
    int churn_size = 0;
    int fifo[2] = {-1, -1};
    int client = -1;

    harness() { receiver_init(&r); }
    ~harness()
    {
        close_sockets(&r.sockets, nullptr);
        xfree(r.batch.buffers);
        mux_list_free(&muxes);
        free(churn);
    }

    // The steps of colvo's loop for one wake-up that brought the datagram.
    void feed(const char *sender, const bytes &d)
    {
        sockaddr_storage from = socket_address(sender, 4000);
        receive_batch *batch = &r.batch;
        receive_batch_size(batch, receive_size);
        size_t room = static_cast<size_t>(batch->slot_size);
        memcpy(batch->buffers, d.data(), d.size() < room ? d.size() : room);
        batch->lengths[0] = static_cast<int>(d.size());
        batch->from[0] = from;
        batch->count = 1;
        for (int i = 0; i < batch->count; i++) {
            struct datagram one = batch_datagram(batch, i);
            source *src = nullptr;
            if (accept_datagram(m, &one, &src))
                process_packet(src, &one, churn, churn_size, &out);
        }
    }
};

std::string drain(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

TEST(KnownAnswers, ColvoLinesUpdatesAndMessages)
{
    temp_dir tmp;
    dir = tmp.path();
    transcript.clear();
    log_capture log;
    log_clock = fixed_clock;
    rrd_backend_current = &recorder;
    crc32_init_table();

    std::string key_file = tmp.write("a.key", [] {
        std::string hex;
        for (uint8_t b : KEY) {
            char two[3];
            snprintf(two, sizeof(two), "%02x", b);
            hex += two;
        }
        return hex + "\n";
    }());
    chmod(key_file.c_str(), 0600);
    mkdir(tmp.file("db").c_str(), 0700);
    std::string every;
    for (int type = 0; type < STREAM_TYPE_COUNT; type++)
        if (stream_type_named(type)) {
            every += every.empty() ? "" : ", ";
            every += stream_type_name(type);
            if (catalogue::ROWS[type].argument)
                every += "(em0)";
            char name[256];
            ASSERT_TRUE(make_rrd_file_name(name, sizeof(name), type, argument_of(type)));
            close(open((tmp.file("db") + name).c_str(), O_CREAT | O_WRONLY, 0600));
        }
    close(open(tmp.file("fail.rrd").c_str(), O_CREAT | O_WRONLY, 0600));
    close(open(tmp.file("load.rrd").c_str(), O_CREAT | O_WRONLY, 0600));
    std::string conf = tmp.write(
        "colvo.conf", "mux 127.0.0.1 port 0\n"
                      "source 10.0.0.5 { accept { " + every + " } datadir " + tmp.file("db") + " }\n"
                      "source 10.0.0.6 { accept { load, mem, cpu(em0) } datadir " + tmp.file("db") +
                      "/ key \"" + key_file + "\" }\n"
                      "source 10.0.0.7 { accept { load, mem } write load in " + tmp.file("fail.rrd") +
                      " }\n"
                      "source 10.0.0.8 { accept { load } write load in " + tmp.file("load.rrd") + " }\n");

    harness h;
    ASSERT_EQ(1, load_config(&h.muxes, conf.c_str(), 1));
    h.m = h.muxes.first;
    h.receive_size = mux_receive_size(h.m);
    ASSERT_EQ(1, open_sockets(&h.r.sockets, h.m, h.receive_size));
    h.churn_size = source_list_max_text_size(&h.m->sources);
    h.churn = static_cast<char *>(malloc(static_cast<size_t>(h.churn_size)));
    ASSERT_EQ(0, pipe2(h.fifo, O_NONBLOCK));
    output_init(&h.out, h.fifo[1]);
    live_open(&h.live, tmp.file("live.sock").c_str());
    h.out.fifo.live = &h.live;
    h.client = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, tmp.file("live.sock").c_str());
    ASSERT_EQ(0, connect(h.client, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
    static event_set ready;
    events_clear(&ready);
    live_watch(&h.live, &ready);
    ASSERT_EQ(1, events_wait(&ready, nullptr, nullptr));
    live_serve(&h.live, &ready);
    size_t told = 0;
    auto tell = [&](const char *what) {
        for (; told < log.lines().size(); told++)
            transcript += hidden("log " + std::to_string(log.lines()[told].priority) + " " +
                                 log.lines()[told].text) + "\n";
        if (what)
            transcript += std::string("-- ") + what + "\n";
    };
    auto send = [&](const char *what, const char *sender, const bytes &d) {
        tell(what);
        std::string hex;
        for (uint8_t b : d) {
            char two[3];
            snprintf(two, sizeof(two), "%02x", b);
            hex += two;
        }
        transcript += std::string("datagram ") + sender + " " + hex + "\n";
        h.feed(sender, d);
    };
    auto loop_turn = [&] {
        output_summarise(&h.out);
        auth_summarise(h.m, 0);
    };

    const uint64_t t = static_cast<uint64_t>(now) - 30;
    loop_turn();
    send("every type, varied values", "10.0.0.5", datagram(records(7), t));
    send("every type, zero", "10.0.0.5", datagram(records(0), t + 1));
    send("every type, all ones", "10.0.0.5", datagram(records(1), t + 2));
    send("version 1", "10.0.0.5", datagram(record(STREAM_LOAD, "", 3), t + 3, 1));
    send("no records", "10.0.0.5", datagram({}, t + 4));
    send("unknown sender", "10.0.0.99", datagram(records(7), t));
    send("short", "10.0.0.5", bytes(10, 0x55));
    {
        bytes d = datagram(records(5), t + 5);
        d[20] ^= 1;
        send("bad crc", "10.0.0.5", d);
    }
    {
        bytes d = datagram(records(5), t + 5, 2, 65000);
        d[0] ^= 1;
        send("oversized", "10.0.0.5", d);
    }
    send("version 3", "10.0.0.5", datagram(records(5), t + 6, 3));
    {
        bytes body = records(9);
        send("length past the datagram", "10.0.0.5", datagram(body, t + 7, 2, 15 + static_cast<int>(body.size()) + 40));
        body.resize(body.size() - 3);
        send("last record cut", "10.0.0.5", datagram(body, t + 8));
    }
    send("unknown type", "10.0.0.5", datagram(record(200, "", 3), t + 9));
    {
        bytes body = record(STREAM_LOAD, "", 11);
        bytes bad(71, 'x');
        bad[0] = static_cast<uint8_t>(STREAM_IF);
        body.insert(body.end(), bad.begin(), bad.end());
        send("argument without end", "10.0.0.5", datagram(body, t + 10));
    }
    {
        bytes body = record(STREAM_LOAD, "", 12);
        bytes other = record(STREAM_PF, "", 13);
        body.insert(body.end(), other.begin(), other.end());
        other = record(STREAM_IF, "lo0", 14);
        body.insert(body.end(), other.begin(), other.end());
        send("unaccepted streams", "10.0.0.8", datagram(body, t + 11));
    }
    {
        bytes body;
        for (int i = 0; i < 200; i++) {
            bytes r = record(STREAM_LOAD, "", 20 + static_cast<uint64_t>(i));
            body.insert(body.end(), r.begin(), r.end());
        }
        send("a stream repeated past the line's room", "10.0.0.8", datagram(body, t + 12));
    }
    send("a time ahead of ours", "10.0.0.5", datagram(records(15), t + 5000));
    send("time zero", "10.0.0.8", datagram(record(STREAM_LOAD, "", 16), 0));
    bytes keyed = record(STREAM_LOAD, "", 17);
    {
        bytes r = record(STREAM_MEM, "", 18);
        keyed.insert(keyed.end(), r.begin(), r.end());
        r = record(STREAM_CPU, "em0", 19);
        keyed.insert(keyed.end(), r.begin(), r.end());
    }
    send("keyed, unsigned", "10.0.0.6", datagram(keyed, t + 13));
    send("keyed, signed", "10.0.0.6", signed_datagram(keyed, t + 14, 77, 1));
    send("keyed, replayed", "10.0.0.6", signed_datagram(keyed, t + 14, 77, 1));
    send("keyed, three lost", "10.0.0.6", signed_datagram(keyed, t + 15, 77, 5));
    {
        uint8_t other[KEY_SIZE] = {1};
        send("keyed, forged", "10.0.0.6", signed_datagram(keyed, t + 16, 77, 6, other));
        bytes d = signed_datagram(keyed, t + 16, 77, 6);
        d.pop_back();
        stamp_crc(&d);
        send("keyed, authenticator cut", "10.0.0.6", d);
    }
    send("keyed, skewed", "10.0.0.6", signed_datagram(keyed, t - 5000, 77, 7));
    send("keyed, new boot", "10.0.0.6", signed_datagram(keyed, t + 17, 78, 1));
    for (int i = 0; i < 7; i++)
        send("failing database", "10.0.0.7", datagram(record(STREAM_LOAD, "", 30 + static_cast<uint64_t>(i)), t + 20 + static_cast<uint64_t>(i)));
    for (int i = 0; i < 7; i++)
        send("bad crc again", "10.0.0.8", bytes(20, static_cast<uint8_t>(i)));
    now += 61;
    tell("a minute later");
    loop_turn();
    send("after the summary", "10.0.0.5", datagram(records(21), t + 70));
    tell("exit");
    output_finish(&h.out);
    auth_summarise(h.m, 1);
    tell(nullptr);
    transcript += "fifo:\n" + drain(h.fifo[0]);
    fcntl(h.client, F_SETFL, O_NONBLOCK);
    transcript += "live:\n" + drain(h.client);

    std::string path = std::string(KNOWN_ANSWERS_DIR) + "/colvo.txt";
    if (getenv("KNOWN_ANSWERS_WRITE")) {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_TRUE(f);
        fwrite(transcript.data(), 1, transcript.size(), f);
        fclose(f);
    }
    std::string expected = read_file(path);
    // Line by line, so a difference names its place.
    size_t a = 0, b = 0;
    for (int line = 1; a < transcript.size() || b < expected.size(); line++) {
        size_t ea = transcript.find('\n', a), eb = expected.find('\n', b);
        std::string got = transcript.substr(a, ea - a), want = expected.substr(b, eb - b);
        ASSERT_EQ(want, got) << "line " << line;
        a = ea == std::string::npos ? transcript.size() : ea + 1;
        b = eb == std::string::npos ? expected.size() : eb + 1;
    }
    close(h.client);
    close(h.fifo[0]);
    close(h.fifo[1]);
    log_clock = time;
    rrd_backend_current = &librrd_backend;
}

} // namespace
