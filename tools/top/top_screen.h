// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// colvo-top's terminal: the table of hosts with one selected, and the
// page of every stream of the selected host. Plain ncurses.
#pragma once

#include "top_table.h"

struct top_screen {
    char selected[TOP_NAME_TEXT]; // host name, kept across new hosts
    int detail;                   // showing the selected host's streams
};

void screen_start();
void screen_stop();
// Handles one key; 0 when it asks to quit.
int screen_key(top_screen *s, const top_table *t, int key);
// status: a line about the FIFO, shown at the bottom.
void screen_draw(top_screen *s, const top_table *t, double now, const char *status);
