// The if probe: not built yet; starting a stream of it stops the monitor.
#include "error.h"
#include "probes.h"

void if_start(stream *) { fatal("if probe is not available in this build"); }
void if_sample() { fatal("if probe is not available in this build"); }
int32_t if_pack(uint8_t *, int32_t, stream *) { fatal("if probe is not available in this build"); }
