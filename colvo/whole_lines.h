// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Whole lines through a descriptor that may take part of a write, as the
// FIFO and the live socket's clients do: the line a write stopped in must
// still go whole, before anything else, and what follows it is queued or
// dropped by whole lines, never torn.
#pragma once

// After a write took written of the length bytes of whole lines (0 <
// written < length): the bytes of the line it stopped in still to go, 0
// when it stopped at a line's end.
int cut_line_rest(const char *text, int length, int written);
// The newlines in text.
long count_lines(const char *text, int length);
