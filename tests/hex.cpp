// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "hex.h"

#include <cstdio>

std::vector<uint8_t> hex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string hex(const uint8_t *bytes, size_t n)
{
    std::string text;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof(two), "%02x", bytes[i]);
        text += two;
    }
    return text;
}
