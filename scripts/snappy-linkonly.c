// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* Link-only stand-in for FreeBSD's archivers/snappy in the cross-build's root:
   the functions colvo-export calls, by name, with no behaviour. The
   programs link against it; they are not run from there. */
void snappy_compress(void) {}
void snappy_max_compressed_length(void) {}
