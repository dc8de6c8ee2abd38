// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Keyed sources: a datagram of a source with a key is taken only with an
// authenticator that verifies, from the same boot with a higher sequence
// number or from a later boot, stamped within AUTH_SKEW_MAX of our clock,
// skipping at most SEQUENCE_SKIP_MAX numbers. What the intake refuses of
// keyed sources, by reason, and the packets they lose are colvo's figures
// (figures.h): FIG_SEQUENCE_JUMP to FIG_LOST.
#pragma once

#include <cstdint>
#include <ctime>

#include "auth.h"
#include "datagram.h"
#include "lists.h"

enum { AUTH_SKEW_MAX = 600 };
// Four billion packets: more than a century of them at one a second.
constexpr uint64_t SEQUENCE_SKIP_MAX = uint64_t{1} << 32;

// What colvo has learnt of a keyed source from its packets (or from its
// replay state): the boot identifier, highest sequence number and time of
// the packets it took, and the losses not yet told. Never read from the
// configuration file; the source holds it, colvo makes and carries it.
struct source_run {
    uint8_t boot[AUTH_BOOT_SIZE];
    int seen; // a packet was taken: boot, highest and last_time hold
    uint64_t highest;
    uint64_t last_time;
    long lost; // sequence numbers skipped since the last summary
};

// The source's running state, made (all zero) at the first call.
source_run *source_run_of(source *src);

// Called after the CRC and version checks, before any record is read; 1
// when the datagram is taken.
int check_authenticator(source *src, const datagram *d);
// The one step that carries colvo's running state over a reload: a keyed
// source of the new configuration takes over the running state of the
// source of its name (boot, sequence, losses not yet told); losses of
// sources that leave, or lose their key, are told now.
void carry_source_runs(mux *fresh, mux *running);
// The losses per source, once a minute, and always when at_exit is set.
void auth_summarise(const mux *m, int at_exit);
// When the losses were last summed up (tests set it).
extern time_t auth_last_summary;
// colvo's start: a keyed source it knows nothing of, neither from its
// replay state nor from a packet since, takes nothing stamped before it
// (0: no such bound).
extern time_t auth_started;
