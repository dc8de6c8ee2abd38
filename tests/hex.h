// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Bytes as lower-case hexadecimal text and back, for known answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> hex(const std::string &text);
std::string hex(const uint8_t *bytes, size_t n);
