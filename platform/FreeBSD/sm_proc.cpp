// The proc probe: not built yet; starting a stream of it stops the monitor.
#include "error.h"
#include "probes.h"

void proc_start(stream *) { fatal("proc probe is not available in this build"); }
void proc_sample() { fatal("proc probe is not available in this build"); }
int32_t proc_pack(uint8_t *, int32_t, stream *) { fatal("proc probe is not available in this build"); }
void proc_prepare() {}
