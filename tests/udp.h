// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Loopback UDP helpers for end-to-end tests: free ports, a listener, a
// sender, and packets built with the real codec.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

int free_udp_port(int family = 2);
// A TCP port on loopback no one listens on now.
int free_tcp_port();

class udp_socket {
  public:
    // Bound to the host (numeric) and port; port 0 picks one.
    udp_socket(const std::string &host, int port = 0);
    ~udp_socket();
    int port() const { return port_; }
    bool send_to(const std::string &host, int port, const std::vector<uint8_t> &bytes);
    // One datagram, or an empty vector when none came in time.
    std::vector<uint8_t> receive(int timeout_ms = 5000);

  private:
    int fd_ = -1;
    int family_ = 0;
    int port_ = 0;
};

// The datagram with its CRC made anew over all of it, as the monitor
// stamps it last.
std::vector<uint8_t> with_crc(std::vector<uint8_t> p);
// A packet: header with the given version and timestamp, then the records;
// length and CRC set as the monitor does.
std::vector<uint8_t> make_packet(uint64_t timestamp, const std::vector<std::vector<uint8_t>> &records,
                                 int version = 2);
// The same packet signed as probo signs it: the authenticator after the
// records (key: 64 hex digits), then the CRC over all.
std::vector<uint8_t> make_signed_packet(uint64_t timestamp,
                                        const std::vector<std::vector<uint8_t>> &records,
                                        const std::string &key_hex, const std::string &boot_hex,
                                        uint64_t sequence);
std::vector<uint8_t> load_record(double a, double b, double c);
std::vector<uint8_t> cpu_record(const std::string &cpu, double user);
std::vector<uint8_t> if_record(const std::string &name, uint64_t base);
