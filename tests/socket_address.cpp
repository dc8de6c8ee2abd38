// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "socket_address.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>

sockaddr_storage socket_address(const char *numeric_host, int port)
{
    sockaddr_storage a = {};
    if (strchr(numeric_host, ':')) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, numeric_host, &in6->sin6_addr);
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&a);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, numeric_host, &in->sin_addr);
    }
    return a;
}
