// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/resource.h>: the system's own header, plus
// the kernel's CPU states in the order of its tick counters.
#pragma once

#include_next <sys/resource.h>

#define CP_USER 0
#define CP_NICE 1
#define CP_SYS 2
#define CP_INTR 3
#define CP_IDLE 4
#define CPUSTATES 5
