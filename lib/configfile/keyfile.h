// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Key files: 64 hexadecimal digits (32 bytes) on one line, an optional
// newline after them, in a regular file that neither group nor others may
// read or write. The key itself is never logged.
#pragma once

#include <cstdint>

#include "auth.h"

// Reads the key of path into key; 1 on success. Otherwise a warning that
// begins with the configuration's place ("%.200s:%d: "), names the file
// and says what is wrong, and 0; errno is left as open() set it when the
// file could not be opened.
int read_key_file(const char *path, uint8_t key[KEY_SIZE], const char *where, int line);

// A key read from path and set up for the MAC, or null after the warning.
auth_key *load_key_file(const char *path, const char *where, int line);

// count bytes from the 2 * count hexadecimal digits of text (either case),
// as key files and colvo's replay state write them; 1 when all are digits.
int hex_bytes(const char *text, uint8_t *bytes, int count);
