#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# debian.sh [TARBALL]: builds the Debian packages probo and colvo from a
# release tarball (by default the one scripts/release.sh makes of HEAD)
# into build/debian/, without their tests, and checks them with lintian:
# an error or a warning fails. Prints lintian's report and the packages.
set -eu
cd "$(dirname "$0")/.."
tarball=${1:-$(sh scripts/release.sh | head -1)}
name=$(basename "$tarball" .tar.gz)
out=build/debian
rm -rf "$out" && mkdir -p "$out"
tar -xzf "$tarball" -C "$out"
version=$(cd "$out/$name" && dpkg-parsechangelog -S Version)
[ "probo-colvo-${version%-*}" = "$name" ] ||
    { echo "debian: the changelog's $version is not the release $name" >&2; exit 1; }
if ! (cd "$out/$name" && DEB_BUILD_OPTIONS="nocheck parallel=2" \
    dpkg-buildpackage -b -us -uc >../build.log 2>&1); then
    tail -40 "$out/build.log"
    exit 1
fi
status=0
lintian --fail-on error,warning "$out"/*.changes >"$out/lintian.log" 2>&1 || status=1
grep -v 'with root privileges' "$out/lintian.log" || true
echo "lintian: $(grep -c '^[EW]: ' "$out/lintian.log") errors and warnings"
ls "$out"/*.deb
exit $status
