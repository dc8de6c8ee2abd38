#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# release.sh [COMMIT]: writes build/release/probo-colvo-VERSION.tar.gz from
# a commit (HEAD by default), the version taken from that commit's
# CMakeLists.txt. The tarball holds the committed files alone, under
# probo-colvo-VERSION/, and the same commit always gives the same bytes:
# git's order, owner root, every time the commit's, gzip without name or
# time. Prints the tarball's path, then its distinfo lines (the commit's
# time, SHA256 and SIZE) as a FreeBSD port records them.
set -eu
cd "$(dirname "$0")/.."
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
version=$(git show "$commit:CMakeLists.txt" |
    sed -n 's/^project(probo_colvo VERSION \([0-9.]*\) .*/\1/p')
[ -n "$version" ] || { echo "release: no version in $commit's CMakeLists.txt" >&2; exit 1; }
name=probo-colvo-$version
out=build/release/$name.tar.gz
mkdir -p build/release
git -c tar.umask=022 archive --format=tar --prefix="$name/" "$commit" | gzip -9n >"$out.new"
mv "$out.new" "$out"
echo "$out"
echo "TIMESTAMP = $(git show -s --format=%ct "$commit")"
echo "SHA256 ($name.tar.gz) = $(sha256sum "$out" | cut -d' ' -f1)"
echo "SIZE ($name.tar.gz) = $(wc -c <"$out" | tr -d ' ')"
