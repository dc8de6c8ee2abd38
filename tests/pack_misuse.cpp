// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Calls of the checked packing, one per CASE: 0 is right and compiles; each
// other one is wrong in one way and must fail on the static_assert whose
// text its line names after "fails:".
#include <cstdint>

#include "pack.h"

int misuse(uint8_t *buffer, int space)
{
    uint64_t total = 1;
    uint32_t small[12] = {};
#if CASE == 0
    return pack_typed<STREAM_LOAD>(buffer, space, "", 0.5, 1.25, 2.0) +
           pack_typed<STREAM_PFQ>(buffer, space, "q", total, total, 0u, 0ull) +
           pack_typed_array<STREAM_SMART>(buffer, space, "ada0", small);
#elif CASE == 1 // one value too few fails: one value per character
    return pack_typed<STREAM_LOAD>(buffer, space, "", 0.5, 1.25);
#elif CASE == 2 // one value too many fails: one value per character
    return pack_typed<STREAM_LOAD>(buffer, space, "", 0.5, 1.25, 2.0, 3.0);
#elif CASE == 3 // an integer for a c fails: a D or c value is a floating-point
    return pack_typed<STREAM_LOAD>(buffer, space, "", 0.5, 1, 2.0);
#elif CASE == 4 // a double for an L fails: an L, l, s or b value is an integer
    return pack_typed<STREAM_PFQ>(buffer, space, "q", total, 2.0, total, total);
#elif CASE == 5 // 64 bits for an l fails: a 64-bit integer goes only where
    return pack_typed<STREAM_PROC>(buffer, space, "sshd", total, total, total, total, total, 0.5,
                                   0u, 0u);
#elif CASE == 6 // a short array fails: one value per character
    return pack_typed_array<STREAM_DEBUG>(buffer, space, "", small);
#endif
}
