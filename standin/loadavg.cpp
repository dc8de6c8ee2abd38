// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// getloadavg from the load averages file opened at start-up, so that it
// works inside the monitor's chroot, where the C library's fails.
#include <cerrno>
#include <cstdlib>

#include "internal.h"

extern "C" int getloadavg(double loadavg[], int nelem) noexcept
{
    char text[256];
    if (standin_read(SF_LOADAVG, text, sizeof(text)) < 0)
        return -1;
    double avg[3];
    if (standin_decimals(text, avg, 3) != 3) {
        errno = EINVAL;
        return -1;
    }
    int n = nelem < 3 ? nelem : 3;
    for (int i = 0; i < n; i++)
        loadavg[i] = avg[i];
    return n;
}
