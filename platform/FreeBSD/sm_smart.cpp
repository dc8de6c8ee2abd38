// The smart probe: not built yet; starting a stream of it stops the monitor.
#include "error.h"
#include "probes.h"

void smart_start(stream *) { fatal("smart probe is not available in this build"); }
void smart_sample() { fatal("smart probe is not available in this build"); }
int32_t smart_pack(uint8_t *, int32_t, stream *) { fatal("smart probe is not available in this build"); }
