// Per-stream probe state kept in every stream record. One fixed union for
// all probes, so the record has the same shape on every platform; each
// probe that keeps state adds its record here. The multiplexer leaves it
// zero.
#pragma once

#include <cstdint>

union probe_states {
    uint64_t align;
    unsigned char bytes[256];
};
