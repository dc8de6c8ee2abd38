// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Descriptors 0, 1 and 2 held open from the first line of a daemon's main.
#pragma once

// Opens /dev/null on each of 0, 1 and 2 that is closed; fatal when it
// cannot. A daemon started with one of them closed would otherwise be
// given it for its next file or socket: a record takes descriptor 0 for
// "none", logging writes into 1 and 2, and daemon() puts /dev/null over
// all three.
void open_std_fds();
