// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
/* Link-only stand-in for the base system's libcrypt in the cross-build's root:
   the functions colvo-export calls, by name, with no behaviour. The
   programs link against it; they are not run from there. */
void crypt(void) {}
