#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# compile_fails.sh COMPILER SOURCE CASES INCLUDE...: SOURCE compiles with
# CASE=0 and fails to compile with each of CASE=1 to CASES, each time on
# the static_assert that the case's "#elif CASE == N ... fails: TEXT" line
# names, so a wrong probe call cannot reach the packet.
compiler=$1 source=$2 cases=$3
shift 3
flags="-std=c++17 -fsyntax-only"
for dir in "$@"; do
    flags="$flags -I$dir"
done
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! $compiler $flags -DCASE=0 "$source" >"$log" 2>&1; then
    echo "the right call does not compile:"
    cat "$log"
    exit 1
fi
i=1
while [ "$i" -le "$cases" ]; do
    if $compiler $flags -DCASE=$i "$source" >"$log" 2>&1; then
        echo "case $i compiles"
        exit 1
    fi
    expected=$(sed -n "s/^#elif CASE == $i .*fails: //p" "$source")
    if [ -z "$expected" ] || ! grep -q "static.assert.*failed.*$expected" "$log"; then
        echo "case $i fails otherwise than on the static_assert \"$expected\":"
        cat "$log"
        exit 1
    fi
    i=$((i + 1))
done
echo "1 right call compiles, $cases wrong calls do not"
