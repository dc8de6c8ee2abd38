// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Signal handling both daemons share: handlers that only set flags,
// installed without restart, with their signals blocked except while the
// daemon waits, so a signal is never lost between checking the flags and
// going to sleep.
#pragma once

#include <csignal>

struct signal_action {
    int sig;
    void (*handler)(int);
};

// Installs the handlers and blocks their signals; wait_mask receives the
// mask to wait with (pselect), under which they are delivered.
void install_signal_actions(const signal_action *actions, int count, sigset_t *wait_mask);
