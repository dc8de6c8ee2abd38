// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// What the muxes' patterns (cpu(*), if(* !lo0)...) stand for on this host:
// running state apart from the configuration, looked for at start, at each
// reload and once a period. A found stream is started when its object
// appears, keeps its probe state while the object stays, and is dropped
// when it goes; each change is told once, whatever the muxes sending it.
#pragma once

#include <ctime>

#include "lists.h"
#include "sender.h"

// The streams found for one mux, sent after its own.
struct found_set {
    const mux *owner;
    stream_list streams; // linked here record by record, never indexed
    found_set *next;
};

struct discovery {
    found_set *sets;
    stream_list known; // everything found at the last look, to tell changes
    int looked;        // looked at least once: changes are told
    int period;        // seconds between looks
    time_t next_look;
};

// Looks at the host for the patterns of the senders' muxes (and sizes the
// packets of the senders whose streams changed).
void discover(discovery *d, sender_list *senders, time_t now);
// Before a new configuration: its muxes are new records, its streams
// start afresh. What was found stays known, so changes are still told.
void discovery_forget(discovery *d);
// The streams found for the mux; null when it has none.
const stream_list *found_streams(const discovery *d, const mux *m);
void discovery_free(discovery *d);
