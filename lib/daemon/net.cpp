// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "net.h"

#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

#include "error.h"

static void store_address(sockaddr_storage *to, const sockaddr *from, socklen_t length)
{
    memset(to, 0, sizeof(*to));
    if (length > sizeof(*to))
        length = sizeof(*to);
    memcpy(to, from, length);
}

socklen_t sockaddr_length(const sockaddr_storage *address)
{
    switch (address->ss_family) {
    case AF_INET:
        return sizeof(sockaddr_in);
    case AF_INET6:
        return sizeof(sockaddr_in6);
    default:
        return sizeof(sockaddr_storage);
    }
}

int getip(const char *host, int family, resolved_host *out)
{
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *result = nullptr;
    int numeric = 1;
    int rc = getaddrinfo(host, nullptr, &hints, &result);
    if (rc != 0) {
        numeric = 0;
        hints.ai_flags = 0;
        rc = getaddrinfo(host, nullptr, &hints, &result);
        if (rc != 0) {
            debug("getaddrinfo(%.200s, %d): %.200s", host, family, gai_strerror(rc));
            return 0;
        }
    }
    if (result == nullptr || result->ai_addr == nullptr) {
        debug("getip(%.200s, family): could not get numeric host via getaddrinfo nor getnameinfo",
              host);
        if (result)
            freeaddrinfo(result);
        return 0;
    }
    if (numeric) {
        snprintf(out->host, sizeof(out->host), "%.1024s", host);
    } else {
        rc = getnameinfo(result->ai_addr, result->ai_addrlen, out->host, sizeof(out->host), nullptr,
                         0, NI_NUMERICHOST);
        if (rc != 0) {
            debug("getnameinfo(%.200s, %d): %.200s", host, family, gai_strerror(rc));
            freeaddrinfo(result);
            return 0;
        }
    }
    store_address(&out->address, result->ai_addr, result->ai_addrlen);
    freeaddrinfo(result);
    return 1;
}

int getaddr(const char *host, const char *service, int socktype, int flags, sockaddr_storage *out)
{
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = flags | AI_NUMERICHOST;
    addrinfo *result = nullptr;
    int rc = getaddrinfo(host, service, &hints, &result);
    if (rc != 0) {
        hints.ai_flags = flags;
        rc = getaddrinfo(host, service, &hints, &result);
        if (rc != 0) {
            warning("getaddrinfo(%.200s): %.200s", host, gai_strerror(rc));
            return 0;
        }
    }
    if (result->ai_addrlen > sizeof(sockaddr_storage))
        fatal("%s:%d: internal error: getaddr returned bigger sockaddr than expected (%d>%d)",
              __FILE__, __LINE__, static_cast<int>(result->ai_addrlen),
              static_cast<int>(sizeof(sockaddr_storage)));
    store_address(out, result->ai_addr, result->ai_addrlen);
    freeaddrinfo(result);
    return 1;
}

void get_sockaddr(sockaddr_storage *out, int family, int socktype, int flags, const char *host,
                  const char *service)
{
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    hints.ai_flags = flags;
    addrinfo *result = nullptr;
    if (getaddrinfo(host, service, &hints, &result) != 0 || result == nullptr)
        fatal("could not get sockaddr address");
    store_address(out, result->ai_addr, result->ai_addrlen);
    freeaddrinfo(result);
}

void copy_sockaddr(const sockaddr *from, sockaddr_storage *to)
{
    store_address(to, from, sockaddr_length(reinterpret_cast<const sockaddr_storage *>(from)));
}

int name_address(const sockaddr_storage *address, numeric_name *out)
{
    strcpy(out->host, "<unknown>");
    strcpy(out->service, "<unknown>");
    int rc = getnameinfo(reinterpret_cast<const sockaddr *>(address), sockaddr_length(address),
                         out->host, sizeof(out->host), out->service, sizeof(out->service),
                         NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        strcpy(out->host, "<unknown>");
        strcpy(out->service, "<unknown>");
    }
    return rc;
}

int same_host(const sockaddr *a, const sockaddr *b)
{
    if (a == nullptr || b == nullptr || a->sa_family != b->sa_family)
        return 0;
    if (a->sa_family == AF_INET) {
        auto x = reinterpret_cast<const sockaddr_in *>(a);
        auto y = reinterpret_cast<const sockaddr_in *>(b);
        return memcmp(&x->sin_addr, &y->sin_addr, sizeof(x->sin_addr)) == 0;
    }
    if (a->sa_family == AF_INET6) {
        auto x = reinterpret_cast<const sockaddr_in6 *>(a);
        auto y = reinterpret_cast<const sockaddr_in6 *>(b);
        return memcmp(&x->sin6_addr, &y->sin6_addr, sizeof(x->sin6_addr)) == 0;
    }
    return 0;
}

