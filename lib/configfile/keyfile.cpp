// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Reading key files with their checks: a regular file (checked on the open
// descriptor, so it cannot be swapped in between), mode without any group
// or other bit, and exactly 64 hexadecimal digits. Every copy of the key
// bytes is cleared before its memory is given back.
#include "keyfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.h"
#include "unique_fd.h"

enum { KEY_DIGITS = 2 * KEY_SIZE, KEY_TEXT = KEY_DIGITS + 2 };

static int hex_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int hex_bytes(const char *text, uint8_t *bytes, int count)
{
    for (int i = 0; i < count; i++) {
        int high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return 0;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return 1;
}

// 64 digits and at most a newline; 1 with the bytes in key.
static int parse_key(const char *text, int length, uint8_t key[KEY_SIZE])
{
    if (length != KEY_DIGITS && !(length == KEY_DIGITS + 1 && text[KEY_DIGITS] == '\n'))
        return 0;
    return hex_bytes(text, key, KEY_SIZE);
}

int read_key_file(const char *path, uint8_t key[KEY_SIZE], const char *where, int line)
{
    unique_fd file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0) {
        int error = errno;
        warning("%.200s:%d: cannot open key file '%.200s': %.200s", where, line, path,
                strerror(error));
        errno = error;
        return 0;
    }
    struct stat st;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        warning("%.200s:%d: key file '%.200s' is not a regular file", where, line, path);
        return 0;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        warning("%.200s:%d: key file '%.200s' is open to group or others (mode %03o): "
                "make it 0600 or 0400",
                where, line, path, static_cast<unsigned>(st.st_mode & 0777));
        return 0;
    }
    // One byte more than a valid file holds tells a longer one.
    char text[KEY_TEXT + 1];
    ssize_t n;
    do
        n = read(file.fd, text, sizeof(text));
    while (n < 0 && errno == EINTR);
    int ok = n > 0 && parse_key(text, static_cast<int>(n), key);
    OPENSSL_cleanse(text, sizeof(text));
    if (!ok) {
        OPENSSL_cleanse(key, KEY_SIZE);
        warning("%.200s:%d: key file '%.200s' does not hold 64 hexadecimal digits on one line",
                where, line, path);
    }
    return ok;
}

auth_key *load_key_file(const char *path, const char *where, int line)
{
    uint8_t key[KEY_SIZE];
    if (!read_key_file(path, key, where, line))
        return nullptr;
    auth_key *k = auth_key_new(key);
    OPENSSL_cleanse(key, sizeof(key));
    return k;
}
