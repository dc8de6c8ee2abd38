// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <stdlib.h>: the system's own header, plus
// strtonum, which FreeBSD's C library has and glibc lacks.
#pragma once

#include_next <stdlib.h>

extern "C" long long strtonum(const char *numstr, long long minval, long long maxval,
                              const char **errstrp);
