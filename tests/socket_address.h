// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Socket addresses for tests, from numeric text: IPv6 when it holds a
// colon, IPv4 otherwise.
#pragma once

#include <sys/socket.h>

sockaddr_storage socket_address(const char *numeric_host, int port);
