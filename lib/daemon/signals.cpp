// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Installing the flag-setting handlers, and letting pending signals in
// when the waits never sleep.
#include "signals.h"

#include <cstring>

void install_signal_actions(const signal_action *actions, int count, sigset_t *wait_mask)
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int i = 0; i < count; i++) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sigemptyset(&sa.sa_mask);
        sa.sa_handler = actions[i].handler;
        sigaction(actions[i].sig, &sa, nullptr);
        sigaddset(&blocked, actions[i].sig);
    }
    sigprocmask(SIG_BLOCK, &blocked, wait_mask);
    for (int i = 0; i < count; i++)
        sigdelset(wait_mask, actions[i].sig);
}

void signal_gate_init(signal_gate *g, const signal_action *actions, int count)
{
    install_signal_actions(actions, count, &g->wait_mask);
    g->ready_run = 0;
}

void signal_gate_pass(signal_gate *g, int ready)
{
    // A wait that slept, or was cut short by a signal, let them in itself.
    if (ready <= 0) {
        g->ready_run = 0;
        return;
    }
    if (++g->ready_run < SIGNAL_GATE_RUN)
        return;
    g->ready_run = 0;
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, &g->wait_mask, &blocked);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
}
