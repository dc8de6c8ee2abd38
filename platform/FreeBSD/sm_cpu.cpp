// The cpu probe: not built yet; starting a stream of it stops the monitor.
#include "error.h"
#include "probes.h"

void cpu_start(stream *) { fatal("cpu probe is not available in this build"); }
void cpu_sample() { fatal("cpu probe is not available in this build"); }
int32_t cpu_pack(uint8_t *, int32_t, stream *) { fatal("cpu probe is not available in this build"); }
