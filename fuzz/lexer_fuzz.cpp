// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// The lexer over arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "error.h"
#include "lexer.h"

static void quiet(int, const char *, ...) {}

// Numbers of 65536 and more end the process by design; leave them out.
static bool has_long_digit_run(const std::string &text)
{
    int run = 0;
    for (char c : text) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run >= 5)
            return true;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    daemonized = 1;
    log_syslog = quiet;
    // Overlong tokens end the process by design as well.
    if (size == 0 || size > 2000)
        return 0;
    std::string text;
    // An odd first byte shifts the text across the 2048-byte block boundary.
    if (data[0] & 1)
        text.assign(2040, ' ');
    text.append(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (has_long_digit_run(text))
        return 0;

    int fd = memfd_create("conf", 0);
    if (fd < 0)
        return 0;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        close(fd);
        return 0;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    lexer *lx = lexer_open(path);
    int tokens = 0;
    while (lexer_next(lx)) {
        if (++tokens % 3 == 0) {
            lexer_unget(lx);
            lexer_next(lx);
        }
        if (tokens % 7 == 0)
            lexer_expected(lx, "something");
    }
    lexer_close(lx);
    close(fd);
    return 0;
}
