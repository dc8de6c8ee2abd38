// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
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
