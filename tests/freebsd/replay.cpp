// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo on Linux fed the datagrams colvo on FreeBSD received in the
// FreeBSD run (read from the machine's console), with the same
// configurations and the reload at the same place: its FIFO and live
// socket lines must be those colvo wrote there, byte for byte.
//   freebsd_replay CONSOLE COLVO.CONF RELOAD.CONF KEYFILE
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "config.h"
#include "crc32.h"
#include "daemon.h"
#include "fifo_reader.h"
#include "packet.h"
#include "temp_dir.h"
#include "udp.h"

namespace {

// What the machine's init printed: each datagram to colvo's port, where
// the reload came, and colvo's lines there.
struct run {
    std::vector<std::vector<uint8_t>> datagrams;
    size_t reload_after = 0; // datagrams before it; 0: none
    size_t lines_before_reload = 0;
    std::vector<std::string> fifo, sock;
};

bool read_console(const std::string &path, run *r)
{
    std::ifstream in(path);
    std::string line;
    const std::string datagram = "init: datagram ", reload = "init: reload after datagram ",
                      fifo = "init: fifo ", sock = "init: sock ";
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, datagram.size(), datagram) == 0) {
            std::string hex = line.substr(line.find(' ', datagram.size()) + 1);
            std::vector<uint8_t> bytes;
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            r->datagrams.push_back(bytes);
        } else if (line.compare(0, reload.size(), reload) == 0) {
            r->reload_after = std::stoul(line.substr(reload.size()));
            r->lines_before_reload = r->fifo.size();
        } else if (line.compare(0, fifo.size(), fifo) == 0) {
            r->fifo.push_back(line.substr(fifo.size()));
        } else if (line.compare(0, sock.size(), sock) == 0 && line[sock.size()] != '#') {
            r->sock.push_back(line.substr(sock.size()));
        }
    }
    return !r->datagrams.empty() && r->reload_after > 0;
}

// The machine's configuration for this one: its port and key file.
std::string localise(const std::string &conf, int port, const std::string &key)
{
    std::string text = read_file(conf);
    for (const auto &[from, to] : {std::pair<std::string, std::string>{"port 2100", "port " + std::to_string(port)},
                                   {"\"/etc/probo.key\"", "\"" + key + "\""}}) {
        size_t at = text.find(from);
        if (at != std::string::npos)
            text.replace(at, from.size(), to);
    }
    return text;
}

// Host lines, up to count: the figures lines are colvo's own.
void take(fifo_reader &from, std::vector<std::string> *lines, size_t count)
{
    while (lines->size() < count) {
        std::string line = from.next_line(10000);
        if (line == "<timeout>")
            return;
        if (line[0] != '#')
            lines->push_back(line);
    }
}

// The first line that differs, or that one side lacks.
bool same(const char *what, const std::vector<std::string> &freebsd, const std::vector<std::string> &linux)
{
    for (size_t i = 0; i < freebsd.size() || i < linux.size(); i++) {
        const std::string none = "(none)";
        const std::string &f = i < freebsd.size() ? freebsd[i] : none, &l = i < linux.size() ? linux[i] : none;
        if (f != l) {
            printf("FreeBSD run: FAIL %s line %zu differs:\n  FreeBSD %s\n  Linux   %s\n", what, i + 1, f.c_str(),
                   l.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: freebsd_replay console colvo.conf reload.conf keyfile\n");
        return 64;
    }
    run r;
    if (!read_console(argv[1], &r)) {
        printf("FreeBSD run: FAIL no datagrams or no reload on the console\n");
        return 1;
    }
    // Stamped minutes ago, the datagrams are older than colvo's start,
    // and colvo takes no such packet from a keyed source it knows nothing
    // of: its replay state tells it of one packet of another start taken
    // just before the first.
    packet_header first;
    header_from_wire(r.datagrams[0].data(), &first);
    std::string state = "colvo replay state 1\n127.0.0.1 0000000000000000 0 " +
                        std::to_string(first.timestamp - 1) + "\n";
    crc32_init_table();
    char end[32];
    snprintf(end, sizeof(end), "end 1 %08x\n",
             crc32_compute(reinterpret_cast<const uint8_t *>(state.data()), state.size()));
    std::ofstream(COLVO_STATE) << state << end;
    struct forget_state {
        ~forget_state() { unlink(COLVO_STATE); }
    } forget;
    temp_dir dir;
    std::string key = dir.write("probo.key", read_file(argv[4]));
    chmod(key.c_str(), 0400);
    int port = free_udp_port();
    std::string conf = dir.write("colvo.conf", localise(argv[2], port, key));
    daemon_process colvo(COLVO_BIN, {"-d", "-u", "-f", conf});
    if (!colvo.wait_for("listening for incoming probo traffic")) {
        printf("FreeBSD run: FAIL colvo on Linux did not start:\n%s\n", colvo.output().c_str());
        return 1;
    }
    fifo_reader fifo(open(COLVO_FIFO, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    fifo_reader sock(connect_live());
    udp_socket sender("127.0.0.1");
    std::vector<std::string> fifo_lines, sock_lines;
    for (size_t i = 0; i < r.datagrams.size(); i++) {
        if (i == r.reload_after) {
            // Every line of the datagrams before, then the new configuration.
            take(fifo, &fifo_lines, r.lines_before_reload);
            dir.write("colvo.conf", localise(argv[3], port, key));
            colvo.signal(SIGHUP);
            colvo.wait_for("read configuration file");
        }
        sender.send_to("127.0.0.1", port, r.datagrams[i]);
    }
    take(fifo, &fifo_lines, r.fifo.size());
    take(sock, &sock_lines, r.sock.size());
    colvo.signal(SIGTERM);
    int status = colvo.wait_exit();
    bool ok = same("FIFO", r.fifo, fifo_lines) && same("live socket", r.sock, sock_lines) &&
              count_of(colvo.output(), "ignored replayed packet") == 1 &&
              count_of(colvo.output(), "ignored packet with bad mac") == 1 && status == 75;
    printf("FreeBSD run: colvo on Linux, fed the %zu datagrams with the reload after %zu: %zu FIFO and %zu socket "
           "lines %s FreeBSD's, 1 replayed and 1 bad mac refused, exit %d: %s\n",
           r.datagrams.size(), r.reload_after, fifo_lines.size(), sock_lines.size(), ok ? "equal to" : "against",
           status, ok ? "ok" : "FAILED");
    if (!ok)
        printf("%s", colvo.output().c_str());
    return ok ? 0 : 1;
}
