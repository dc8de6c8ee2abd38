// Counts heap allocations made by the process, so a benchmark can show
// that a hot path allocates nothing.
#pragma once

#include <cstddef>

size_t allocation_count();
