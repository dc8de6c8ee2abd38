// The pfq probe: not built yet; starting a stream of it stops the monitor.
#include "error.h"
#include "probes.h"

void pfq_start(stream *) { fatal("pfq probe is not available in this build"); }
void pfq_sample() { fatal("pfq probe is not available in this build"); }
int32_t pfq_pack(uint8_t *, int32_t, stream *) { fatal("pfq probe is not available in this build"); }
void pfq_prepare() {}
