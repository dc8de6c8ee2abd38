// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Signal handling the daemons and tools share: handlers that only set
// flags, installed without restart, with their signals blocked except
// while the program waits, so a signal is never lost between checking the
// flags and going to sleep.
#pragma once

#include <csignal>

struct signal_action {
    int sig;
    void (*handler)(int);
};

// Installs the handlers and blocks their signals; wait_mask receives the
// mask to wait with (pselect), under which they are delivered.
void install_signal_actions(const signal_action *actions, int count, sigset_t *wait_mask);

// pselect and ppoll let the signals in only when they sleep: a wait that
// finds a descriptor ready at once returns with them still pending, and a
// loop whose descriptors are always ready (a flood, a hung-up terminal)
// would never see them. After SIGNAL_GATE_RUN such returns in a row, the
// pending signals are let in between two waits.
enum { SIGNAL_GATE_RUN = 16 };

struct signal_gate {
    sigset_t wait_mask; // the mask to wait with
    int ready_run;      // waits in a row that returned ready
};

// Installs the handlers as install_signal_actions does, into the gate.
void signal_gate_init(signal_gate *g, const signal_action *actions, int count);
// After each wait, with what it returned: a run of ready returns lets the
// pending signals in, their handlers run here.
void signal_gate_pass(signal_gate *g, int ready);
