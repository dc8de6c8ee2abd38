// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A received datagram and the checks it passes before any record is read:
// from a configured source, a whole header, a right CRC-32, a version below
// 3, and for a source with a key an authenticator that holds.
#pragma once

#include "datagram.h"
#include "lists.h"

// The checks on the datagram under mux m; 1 when accepted, with its
// source in src.
int accept_datagram(const mux *m, datagram *d, source **src);
