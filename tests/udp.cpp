// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "udp.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "auth.h"
#include "crc32.h"
#include "packet.h"
#include "types.h"

static socklen_t fill(sockaddr_storage *s, const std::string &host, int port)
{
    memset(s, 0, sizeof(*s));
    if (host.find(':') != std::string::npos) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(s);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr);
        return sizeof(*in6);
    }
    auto *in = reinterpret_cast<sockaddr_in *>(s);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &in->sin_addr);
    return sizeof(*in);
}

int free_udp_port(int family)
{
    udp_socket s(family == AF_INET6 ? "::1" : "127.0.0.1");
    return s.port();
}

int free_tcp_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t length = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
}

udp_socket::udp_socket(const std::string &host, int port)
{
    sockaddr_storage s;
    socklen_t length = fill(&s, host, port);
    family_ = s.ss_family;
    fd_ = socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int big = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    bind(fd_, reinterpret_cast<sockaddr *>(&s), length);
    length = sizeof(s);
    getsockname(fd_, reinterpret_cast<sockaddr *>(&s), &length);
    port_ = ntohs(family_ == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&s)->sin6_port
                                      : reinterpret_cast<sockaddr_in *>(&s)->sin_port);
}

udp_socket::~udp_socket()
{
    if (fd_ >= 0)
        close(fd_);
}

bool udp_socket::send_to(const std::string &host, int port, const std::vector<uint8_t> &bytes)
{
    sockaddr_storage s;
    socklen_t length = fill(&s, host, port);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&s), length) ==
           static_cast<ssize_t>(bytes.size());
}

std::vector<uint8_t> udp_socket::receive(int timeout_ms)
{
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return {};
    std::vector<uint8_t> buf(65536);
    ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> p)
{
    crc32_init_table();
    packet_header h;
    header_from_wire(p.data(), &h);
    h.crc = 0;
    header_to_wire(p.data(), &h);
    h.crc = crc32_compute(p.data(), p.size());
    header_to_wire(p.data(), &h);
    return p;
}

std::vector<uint8_t> make_packet(uint64_t timestamp, const std::vector<std::vector<uint8_t>> &records,
                                 int version)
{
    std::vector<uint8_t> p(PACKET_HEADER_SIZE);
    for (const auto &r : records)
        p.insert(p.end(), r.begin(), r.end());
    packet_header h = {timestamp, 0, static_cast<uint16_t>(p.size()), static_cast<uint8_t>(version)};
    header_to_wire(p.data(), &h);
    return with_crc(p);
}

static std::vector<uint8_t> packed(int n, const uint8_t *buf)
{
    return std::vector<uint8_t>(buf, buf + n);
}

static std::vector<uint8_t> from_hex(const std::string &hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::vector<uint8_t> make_signed_packet(uint64_t timestamp,
                                        const std::vector<std::vector<uint8_t>> &records,
                                        const std::string &key_hex, const std::string &boot_hex,
                                        uint64_t sequence)
{
    std::vector<uint8_t> p = make_packet(timestamp, records);
    int length = static_cast<int>(p.size());
    p.resize(p.size() + AUTH_SIZE);
    packet_header h;
    header_from_wire(p.data(), &h);
    h.crc = 0;
    header_to_wire(p.data(), &h);
    auth_key *k = auth_key_new(from_hex(key_hex).data());
    authenticator a = {AUTH_KIND_HMAC_SHA256_128, {}, sequence};
    std::vector<uint8_t> boot = from_hex(boot_hex);
    memcpy(a.boot, boot.data(), sizeof(a.boot));
    auth_sign(k, p.data(), length, &a);
    auth_key_free(k);
    return with_crc(p);
}

std::vector<uint8_t> load_record(double a, double b, double c)
{
    uint8_t buf[64] = {};
    return packed(pack_stream(buf, sizeof(buf), "", STREAM_LOAD, a, b, c), buf);
}

std::vector<uint8_t> cpu_record(const std::string &cpu, double user)
{
    uint8_t buf[128] = {};
    return packed(pack_stream(buf, sizeof(buf), cpu.c_str(), STREAM_CPU, user, 0.0, 1.0, 0.0,
                              99.0 - user),
                  buf);
}

std::vector<uint8_t> if_record(const std::string &name, uint64_t base)
{
    uint8_t buf[256] = {};
    unsigned long long b = base;
    return packed(pack_stream(buf, sizeof(buf), name.c_str(), STREAM_IF, b, b + 1, b + 2, b + 3,
                              b + 4, b + 5, b + 6, b + 7, b + 8, b + 9),
                  buf);
}
