// Probes that are not built yet. Their table entries already have their
// final shape; starting a stream of one of them stops the monitor with a
// message naming the probe, so a configuration never silently sends less.
#include "error.h"
#include "probes.h"

#define PENDING(name)                                                                             \
    [[noreturn]] static void name##_pending()                                                    \
    {                                                                                             \
        fatal(#name " probe is not available in this build");                                    \
    }                                                                                             \
    void name##_start(stream *) { name##_pending(); }                                             \
    void name##_sample() { name##_pending(); }                                                    \
    int32_t name##_pack(uint8_t *, int32_t, stream *) { name##_pending(); }

PENDING(cpu)
PENDING(if)
PENDING(io)
PENDING(df)
PENDING(proc)
PENDING(pfq)
PENDING(smart)
#undef PENDING

// Nothing to acquire until the probes exist; start reports them.
void proc_prepare() {}
void pfq_prepare() {}
