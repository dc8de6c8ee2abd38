// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo's live socket with the real colvo on loopback: many readers beside
// the FIFO, a reader that stops, the client table's bound, the figures.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "config.h"
#include "daemon.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

const std::string COLVO = COLVO_BIN;

// The lines of one descriptor, the figures lines apart.
struct line_stream {
    int fd = -1;
    bool ended = false;
    std::string pending;
    std::vector<std::string> lines;
    std::vector<std::string> figures;

    explicit line_stream(int descriptor) : fd(descriptor) { fcntl(fd, F_SETFL, O_NONBLOCK); }
    ~line_stream()
    {
        if (fd >= 0)
            close(fd);
    }

    void read_some()
    {
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0) {
            pending.append(buf, static_cast<size_t>(n));
            size_t start = 0, nl;
            while ((nl = pending.find('\n', start)) != std::string::npos) {
                std::string line = pending.substr(start, nl - start);
                (line[0] == '#' ? figures : lines).push_back(line);
                start = nl + 1;
            }
            pending.erase(0, start);
        }
        ended = ended || n == 0;
    }

    // Reads until the end of the stream.
    void read_to_end(int timeout_ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!ended && std::chrono::steady_clock::now() < end) {
            pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, 100);
            read_some();
        }
    }

    // Reads until a figures line comes.
    bool wait_figures(int timeout_ms = 5000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t had = figures.size();
        while (figures.size() == had && !ended && std::chrono::steady_clock::now() < end) {
            pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, 100);
            read_some();
        }
        return figures.size() > had;
    }
};

// The count after key= in a figures line, or -1.
long long figure(const std::string &line, const std::string &key)
{
    size_t at = line.find(";" + key + "=");
    return at == std::string::npos ? -1 : std::stoll(line.substr(at + key.size() + 2));
}

// The counts of "N lines dropped at the live socket" in colvo's output.
long long reported_drops(const std::string &output)
{
    long long total = 0;
    const std::string text = " lines dropped at the live socket in the last ";
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) {
        size_t start = output.rfind("warning: ", at) + 9;
        total += std::stoll(output.substr(start, at - start));
    }
    return total;
}

struct Live : ::testing::Test {
    temp_dir dir;
    int port = free_udp_port();

    std::unique_ptr<daemon_process> start(const std::string &accept)
    {
        std::string conf = dir.write("colvo.conf", "mux 127.0.0.1 port " + std::to_string(port) +
                                                       "\nsource 127.0.0.1 { accept { " + accept +
                                                       " } }\n");
        auto d = std::make_unique<daemon_process>(COLVO, std::vector<std::string>{"-d", "-u", "-f", conf});
        EXPECT_TRUE(d->wait_for("listening for incoming probo traffic")) << d->output();
        return d;
    }
};

enum { PACKETS = 10000, STREAMS = 10, WINDOW = 64, STOPPED_MS = 5000 };

TEST_F(Live, ReadersBesideTheFifoGetEveryLineAndAStoppedOneLosesOnlyItsOwn)
{
    std::string accept;
    for (int k = 0; k < STREAMS; k++)
        accept += "if(em" + std::to_string(k) + ") ";
    auto colvo = start(accept);
    struct stat st;
    ASSERT_EQ(0, stat(COLVO_SOCKET, &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0660u, st.st_mode & 0777);

    line_stream fifo(open(COLVO_FIFO, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    line_stream a(connect_live()), b(connect_live()), stopped(connect_live());
    ASSERT_GE(a.fd, 0);
    ASSERT_TRUE(colvo->wait_for("live client connected, 3 now")) << colvo->output();
    // Each begins with colvo's figures.
    ASSERT_TRUE(a.wait_figures());
    EXPECT_EQ(0, a.figures[0].find("#colvo;"));
    EXPECT_EQ(0, figure(a.figures[0], "received"));

    // Lines of about 2 KiB: far more than the stopped reader's backlog.
    udp_socket sender("127.0.0.1");
    auto started = std::chrono::steady_clock::now();
    int sent = 0;
    bool reading = false;
    auto least = [&] { return std::min({fifo.lines.size(), a.lines.size(), b.lines.size()}); };
    while (least() < PACKETS || !reading) {
        // No more than WINDOW lines outstanding: the kernel drops none.
        while (sent < PACKETS && sent - static_cast<int>(least()) < WINDOW) {
            std::vector<std::vector<uint8_t>> records;
            for (int k = 0; k < STREAMS; k++)
                records.push_back(if_record("em" + std::to_string(k),
                                            1000000000000000ull + 1000ull * sent + 10ull * k));
            ASSERT_TRUE(sender.send_to("127.0.0.1", port, make_packet(1700000000u + sent, records)));
            sent++;
        }
        reading = std::chrono::steady_clock::now() - started > std::chrono::milliseconds(STOPPED_MS);
        std::vector<pollfd> p = {{fifo.fd, POLLIN, 0}, {a.fd, POLLIN, 0}, {b.fd, POLLIN, 0},
                                 {reading ? stopped.fd : -1, POLLIN, 0}};
        poll(p.data(), p.size(), 100);
        fifo.read_some();
        a.read_some();
        b.read_some();
        if (reading)
            stopped.read_some();
        // colvo -d tells of every packet.
        colvo->drain();
        ASSERT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    }
    // A fourth reader sees the figures so far.
    line_stream late(connect_live());
    ASSERT_TRUE(late.wait_figures());
    EXPECT_EQ(PACKETS, figure(late.figures[0], "received"));
    EXPECT_EQ(PACKETS, figure(late.figures[0], "accepted"));
    EXPECT_EQ(0, figure(late.figures[0], "fifo_dropped"));
    EXPECT_EQ(4, figure(late.figures[0], "clients"));

    colvo->signal(SIGTERM);
    EXPECT_EQ(75, colvo->wait_exit());
    for (line_stream *s : {&a, &b, &stopped, &late})
        s->read_to_end();

    // The first line as the FIFO has always given it.
    ASSERT_EQ(static_cast<size_t>(PACKETS), fifo.lines.size());
    EXPECT_EQ(0, fifo.lines[0].find("127.0.0.1;if:em0:1700000000:1000000000000000:"
                                    "1000000000000001:1000000000000002:"));
    EXPECT_EQ(fifo.lines, a.lines);
    EXPECT_EQ(fifo.lines, b.lines);
    EXPECT_TRUE(late.lines.empty());
    // The stopped reader's lines are whole, in order, and a part of the FIFO's.
    size_t at = 0;
    for (const std::string &line : stopped.lines) {
        while (at < fifo.lines.size() && fifo.lines[at] != line)
            at++;
        ASSERT_LT(at, fifo.lines.size()) << "not one of the FIFO's, or out of order: " << line.substr(0, 80);
    }
    long long lost = PACKETS - static_cast<long long>(stopped.lines.size());
    EXPECT_GT(lost, 0);
    EXPECT_GT(stopped.lines.size(), 100u);
    EXPECT_EQ(lost, reported_drops(colvo->output())) << colvo->output().substr(0, 4000);
}

TEST_F(Live, SixtyFourClientsAtMostAndOneThatLeavesIsForgotten)
{
    auto colvo = start("load");
    std::vector<std::unique_ptr<line_stream>> clients;
    for (int i = 0; i < 64; i++)
        clients.push_back(std::make_unique<line_stream>(connect_live()));
    ASSERT_TRUE(colvo->wait_for("live client connected, 64 now")) << colvo->output();
    line_stream refused(connect_live());
    ASSERT_TRUE(colvo->wait_for("warning: live client refused: 64 clients connected already"));
    refused.read_to_end();
    EXPECT_TRUE(refused.figures.empty() && refused.lines.empty());

    // One leaves: its place is free at once.
    clients[10].reset();
    ASSERT_TRUE(colvo->wait_for("live client gone, 63 left"));
    line_stream next(connect_live());
    ASSERT_TRUE(next.wait_figures()) << colvo->output();
    EXPECT_EQ(64, figure(next.figures[0], "clients"));
    EXPECT_EQ(1, figure(next.figures[0], "clients_refused"));

    // Every client gets the packet's line, the new one too.
    udp_socket sender("127.0.0.1");
    ASSERT_TRUE(sender.send_to("127.0.0.1", port, make_packet(1700000000u, {load_record(1.5, 1, 0.5)})));
    sender.send_to("127.0.0.1", port, std::vector<uint8_t>(20, 0));
    ASSERT_TRUE(colvo->wait_for("ignored packet with bad crc"));
    clients[20].reset();
    ASSERT_TRUE(colvo->wait_for_count("live client gone, 63 left", 2));
    line_stream last(connect_live());
    ASSERT_TRUE(last.wait_figures()) << colvo->output();
    EXPECT_EQ(2, figure(last.figures[0], "received"));
    EXPECT_EQ(1, figure(last.figures[0], "accepted"));
    EXPECT_EQ(1, figure(last.figures[0], "bad_crc"));
    EXPECT_EQ(0, figure(last.figures[0], "unknown_sender"));
    colvo->signal(SIGTERM);
    EXPECT_EQ(75, colvo->wait_exit());
    next.read_to_end();
    EXPECT_EQ(std::vector<std::string>{"127.0.0.1;load::1700000000:1.50:1.00:0.50;"}, next.lines);
    clients[63]->read_to_end();
    EXPECT_EQ(next.lines, clients[63]->lines);
}

// A client that writes is dropped at once, and counted: colvo does not
// read for it without end, and the others keep their lines.
TEST_F(Live, AClientThatWritesIsDroppedAndCounted)
{
    auto colvo = start("load");
    line_stream reader(connect_live());
    int writer = connect_live();
    ASSERT_TRUE(colvo->wait_for("live client connected, 2 now")) << colvo->output();
    std::string junk(65536, 'x');
    int error = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (error == 0 && std::chrono::steady_clock::now() < end) {
        pollfd p = {writer, POLLOUT, 0};
        if (poll(&p, 1, 100) == 1 && send(writer, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN)
            error = errno;
    }
    close(writer);
    EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << "still read after 5 s: " << strerror(error);
    EXPECT_TRUE(colvo->wait_for("warning: live client dropped: it wrote to the socket; clients only read"))
        << colvo->output();
    udp_socket sender("127.0.0.1");
    ASSERT_TRUE(sender.send_to("127.0.0.1", port, make_packet(1700000000u, {load_record(1.5, 1, 0.5)})));
    ASSERT_TRUE(colvo->wait_for("churnbuffer used"));
    line_stream next(connect_live());
    ASSERT_TRUE(next.wait_figures()) << colvo->output();
    EXPECT_EQ(2, figure(next.figures[0], "clients"));
    EXPECT_EQ(1, figure(next.figures[0], "clients_dropped"));
    colvo->signal(SIGTERM);
    EXPECT_EQ(75, colvo->wait_exit());
    reader.read_to_end();
    EXPECT_EQ(std::vector<std::string>{"127.0.0.1;load::1700000000:1.50:1.00:0.50;"}, reader.lines);
}

} // namespace
