#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Sets up, builds with warnings as errors and runs every test; cross-builds
# for FreeBSD where a FreeBSD root is at hand; runs the tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer; then runs each fuzz
# target briefly. Paths are private to the build tree.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
sh scripts/deps.sh

configure() {
    dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DWERROR=ON \
        -DCMAKE_INSTALL_SYSCONFDIR="$top/$dir/etc" \
        -DCMAKE_INSTALL_RUNSTATEDIR="$top/$dir/run" "$@" >/dev/null
    mkdir -p "$dir/etc" "$dir/run"
}

configure build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build/test
ctest --test-dir build/test -j2 --output-on-failure

# Manual pages; the service units as installed, their programs pointed at
# this build's and their pages found in the staged install.
mandoc -T lint -W warning docs/man/*
stage="$top/build/test/stage"
rm -rf "$stage" && DESTDIR="$stage" cmake --install build/test >/dev/null
for unit in $(find "$stage" -name '*.service'); do
    sed -e "s#[^ =]*/sbin/colvo-export#$top/build/test/tools/export/colvo-export#g" \
        -e "s#[^ =]*/sbin/\(probo\|colvo\)#$top/build/test/\1/\1#g" "$unit" >"build/test/$(basename "$unit")"
done
MANPATH="$(dirname "$(find "$stage" -path '*/man/man8' -type d)")" \
    systemd-analyze verify build/test/probo.service build/test/colvo.service build/test/colvo-export.service

sh scripts/freebsd.sh

configure build/asan -DSANITIZE=ON -DBUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ninja -C build/asan
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 ctest --test-dir build/asan -j2 --output-on-failure

CC=clang CXX=clang++ configure build/fuzz -DFUZZ=ON -DBUILD_TESTS=OFF -DBUILD_BENCH=OFF
ninja -C build/fuzz
for seeds in fuzz/corpus/*; do
    name=$(basename "$seeds")
    work="build/fuzz/corpus-$name"
    rm -rf "$work" && mkdir -p "$work" && cp "$seeds"/* "$work"/
    "build/fuzz/fuzz/${name}_fuzz" -max_total_time=30 -max_len=2000 "$work" 2>"build/fuzz/$name.log" \
        || { tail -40 "build/fuzz/$name.log"; exit 1; }
    tail -1 "build/fuzz/$name.log"
done
echo "all tests passed"
