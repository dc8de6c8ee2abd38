// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Address helpers over the resolver for the configuration readers and the
// UDP transports. Results go where the caller says, never into the
// process's own buffers.
// Every socket address is kept in a zeroed 128-byte sockaddr_storage.
#pragma once

#include <sys/socket.h>

enum { NUMERIC_HOST_SIZE = 1025, NUMERIC_SERVICE_SIZE = 32 };

// A host resolved in one family: its address, and that as numeric text.
struct resolved_host {
    char host[NUMERIC_HOST_SIZE];
    sockaddr_storage address;
};

// 1 with out filled; 0, out unspecified, when host has no address of the
// family.
int getip(const char *host, int family, resolved_host *out);
// 1 with out set to the first address; 0 (warned) when there is none.
int getaddr(const char *host, const char *service, int socktype, int flags, sockaddr_storage *out);
void get_sockaddr(sockaddr_storage *out, int family, int socktype, int flags, const char *host,
                  const char *service);
void copy_sockaddr(const sockaddr *from, sockaddr_storage *to);
// An address as numeric texts, "<unknown>" both where it has none; 0 when
// it has them.
struct numeric_name {
    char host[NUMERIC_HOST_SIZE];
    char service[NUMERIC_SERVICE_SIZE];
};
int name_address(const sockaddr_storage *address, numeric_name *out);
// Same family and host address, ports ignored; any socket address, a
// source's compact one included.
int same_host(const sockaddr *a, const sockaddr *b);
// The length of the address held in a storage, by its family.
socklen_t sockaddr_length(const sockaddr_storage *address);
