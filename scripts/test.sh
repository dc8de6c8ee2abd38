#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Sets up, builds with warnings as errors and runs every test (from the
# release tarball when the checkout is its commit); cross-builds for
# FreeBSD 13.5 and 14 where FreeBSD roots are at hand, and runs the 13.5
# build on a FreeBSD kernel under QEMU where one is; builds, checks,
# installs and purges the Debian packages; runs the tests again under AddressSanitizer
# and UndefinedBehaviorSanitizer; then runs each fuzz target briefly.
# Paths are private to the build tree, but for the packages' install.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
sh scripts/deps.sh

configure() {
    dir=$1; shift
    cmake -S "${src:-.}" -B "$dir" -G Ninja -DWERROR=ON \
        -DCMAKE_INSTALL_SYSCONFDIR="$top/$dir/etc" \
        -DCMAKE_INSTALL_RUNSTATEDIR="$top/$dir/run" "$@" >/dev/null
    mkdir -p "$dir/etc" "$dir/run"
}

# The tarball's files in DIR; files the same as there before keep their
# times, so the build redoes only what changed.
unpack() {
    rm -rf "$2.new" && mkdir -p "$2.new"
    tar -xzmf "$1" -C "$2.new" --strip-components=1
    if [ -d "$2" ]; then
        (cd "$2.new" && find . -type f) | while IFS= read -r file; do
            ! cmp -s "$2.new/$file" "$2/$file" || touch -r "$2/$file" "$2.new/$file"
        done
    fi
    rm -rf "$2" && mv "$2.new" "$2"
}

# The plain build and tests run from the release tarball of HEAD, without
# git, when the checkout is HEAD; a checkout with changes is tested as it
# stands. The packages are built from the tarball in either case.
plain=build/test tarball=""
if git rev-parse --git-dir >/dev/null 2>&1; then
    tarball=$(sh scripts/release.sh | head -1)
    if [ -z "$(git status --porcelain)" ]; then
        src=build/release/tree plain=build/release/test
        unpack "$tarball" "$src"
        echo "plain tests from $tarball"
    else
        echo "plain tests on the checkout, which has changes (the packages are built from HEAD)"
    fi
fi
configure "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo
src=.
ninja -C "$plain"
ctest --test-dir "$plain" -j2 --output-on-failure

# Manual pages, each naming every other in SEE ALSO; the service units as
# installed, their programs pointed at this build's and their pages found
# in the staged install.
mandoc -T lint -W warning docs/man/*
for page in docs/man/*; do
    for other in docs/man/*; do
        [ "$other" = "$page" ] || sed -n '/^\.Sh SEE ALSO/,/^\.Sh/p' "$page" |
            grep -q "^\.Xr $(basename "${other%.*}") ${other##*.}\( ,\)\?\$" ||
            { echo "$page: SEE ALSO does not name $other"; exit 1; }
    done
done
stage="$top/$plain/stage"
rm -rf "$stage" && DESTDIR="$stage" cmake --install "$plain" >/dev/null
for unit in $(find "$stage" -name '*.service'); do
    sed -e "s#[^ =]*/sbin/colvo-export#$top/$plain/tools/export/colvo-export#g" \
        -e "s#[^ =]*/sbin/\(probo\|colvo\)#$top/$plain/\1/\1#g" "$unit" >"$plain/$(basename "$unit")"
done
MANPATH="$(dirname "$(find "$stage" -path '*/man/man8' -type d)")" \
    systemd-analyze verify "$plain/probo.service" "$plain/colvo.service" "$plain/colvo-export.service"

sh scripts/freebsd.sh
sh tests/freebsd/run.sh build/freebsd-13.5 "$plain"

# The packages: the ports' distinfo is their release's; the Debian packages
# pass lintian, install, run and purge without a trace.
if [ -n "$tarball" ]; then
    sh tests/freebsd_port.sh distinfo .
    sh scripts/debian.sh "$tarball"
    sh tests/debian_package.sh build/debian
else
    echo "packages skipped: no git history to make the release tarball from"
fi

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
