// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Counts heap allocations made by the process, so a benchmark can show
// that a hot path allocates nothing.
#pragma once

#include <cstddef>

size_t allocation_count();
