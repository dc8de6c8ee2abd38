#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# The monitor's resident memory rests on its needing no library but the C
# library when it runs; a C++ container or exception slipped into its code
# would bring back libstdc++ and libm unnoticed.
others=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v '^libc\.so')
if [ -n "$others" ]; then
    echo "$1 needs: $others"
    exit 1
fi
readelf -d "$1" | grep -q 'NEEDED.*libc\.so'
