// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for FreeBSD's <sys/ucred.h>, which getmntinfo's users include
// before <sys/mount.h>: nothing the probes use lives here.
#pragma once
