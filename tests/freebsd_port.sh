#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD ports kept in step with the tree, one port per role in
# dist/freebsd/sysutils.
#   freebsd_port.sh rc SOURCE: each port's rc.d scripts (USE_RC_SUBR,
#     files/NAME.in) are dist/rc.d's with %%PREFIX%% for /usr/local, and
#     the ports together start every script there.
#   freebsd_port.sh plist SOURCE WORK CMAKE: each pkg-plist is what cmake
#     --install puts under the prefix for a build configured as its port
#     configures it, its @dir entries are the data directories its sample
#     configuration names, and its USERS and GROUPS have their lines in
#     UIDs and GIDs. The monitor's port builds with the collector's
#     libraries hidden.
#   freebsd_port.sh distinfo SOURCE: both ports are of the version in
#     CMakeLists.txt, and distinfo is what scripts/release.sh prints for
#     the commit that set that version (needs the git history).
set -eu
mode=$1 src=$2
ports=$src/dist/freebsd

# A variable of a port's Makefile or of what both ports share, its words
# one a line.
make_variable() {
    cat "$1/Makefile" "$ports/sysutils/probo/Makefile.common" |
        sed -n "s/^$2=[[:space:]]*//p" | tr -s ' \t' '\n\n'
}

status=0
if [ "$mode" = rc ]; then
    all=""
    for port in "$ports"/sysutils/*; do
        for rc in $(make_variable "$port" USE_RC_SUBR); do
            all="$all $rc"
            sed 's|/usr/local|%%PREFIX%%|g' "$src/dist/rc.d/$rc" | diff -u "$port/files/$rc.in" - || status=1
        done
    done
    if [ "$(echo $all | tr ' ' '\n' | sort)" != "$(ls "$src/dist/rc.d" | sort)" ]; then
        echo "the ports' USE_RC_SUBR name$all; dist/rc.d has" $(ls "$src/dist/rc.d")
        status=1
    fi
    exit $status
fi

if [ "$mode" = distinfo ]; then
    version=$(sed -n 's/^project(probo_colvo VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
    for port in "$ports"/sysutils/*; do
        [ "$(make_variable "$port" DISTVERSION)" = "$version" ] ||
            { echo "$port: DISTVERSION is not $version"; status=1; }
    done
    commit=$(git -C "$src" log -1 --format=%H -S"probo_colvo VERSION $version " -- CMakeLists.txt)
    sh "$src/scripts/release.sh" "$commit" | tail -n +2 >"$src/build/release/distinfo"
    diff -u "$ports/sysutils/probo/distinfo" "$src/build/release/distinfo" ||
        { echo "distinfo is not that of $version, made from $commit"; status=1; }
    exit $status
fi

work=$3 cmake=$4
hidden=""
for port in "$ports"/sysutils/*; do
    name=$(basename "$port")
    # The ports framework's cmake arguments, and the Makefile's own.
    args="-DCMAKE_INSTALL_PREFIX=/usr/local -DCMAKE_BUILD_TYPE=Release"
    for v in $(make_variable "$port" CMAKE_OFF); do args="$args -D$v:BOOL=OFF"; done
    for v in $(make_variable "$port" CMAKE_ON); do args="$args -D$v:BOOL=ON"; done
    for v in $(make_variable "$port" CMAKE_ARGS); do args="$args $v"; done
    build="$work/$name" stage="$work/$name-stage"
    rm -rf "$stage"
    script="$work/$name-build.sh"
    mkdir -p "$work"
    : >"$script"
    if [ -z "$(make_variable "$port" LIB_DEPENDS)" ]; then
        # Base libraries only: the collector's libraries must not be needed.
        # Where a mount namespace can be had, their development files are
        # covered with empty ones; in any case pkg-config and CMake look
        # elsewhere.
        args="$args -DCMAKE_DISABLE_FIND_PACKAGE_Curses=ON -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON"
        echo "export PKG_CONFIG_LIBDIR=/nonexistent" >>"$script"
        files=$(dpkg -L librrd-dev libmicrohttpd-dev libncurses-dev 2>/dev/null |
            grep -E '\.(h|a|so|pc)$' | grep -v tinfo || true)
        if [ -n "$files" ] && unshare -m true 2>/dev/null; then
            hidden="covered"
            echo "mount --make-rprivate /" >>"$script"
            for f in $files; do
                [ ! -f "$f" ] || echo "mount --bind /dev/null $f" >>"$script"
            done
        fi
    fi
    echo "'$cmake' -S '$src' -B '$build' -G Ninja --no-warn-unused-cli $args >/dev/null && '$cmake' --build '$build' >/dev/null" >>"$script"
    if [ "$hidden" = covered ] && [ -z "$(make_variable "$port" LIB_DEPENDS)" ]; then
        unshare -m sh -e "$script"
    else
        sh -e "$script"
    fi || { echo "$name: the build as the port configures it failed"; exit 1; }
    DESTDIR="$stage" "$cmake" --install "$build" >/dev/null

    # The prefix taken off; the framework compresses manual pages, and sample
    # configurations are listed with @sample.
    sed -e "s|^$stage||" -e 's|^/usr/local/||' \
        -e 's|^share/man/man[0-9]/.*|&.gz|' -e 's|^etc/.*\.sample$|@sample &|' \
        "$build/install_manifest.txt" | sort >"$work/$name-manifest"
    grep -v '^@comment \|^@dir' "$port/pkg-plist" | sort | diff -u - "$work/$name-manifest" || status=1

    # The data directories of the sample, made with the package.
    dirs=$(cat "$stage"/usr/local/etc/*.sample | sed -n 's/^[[:space:]]*datadir[[:space:]]*\([^[:space:]]*\).*/@dir \1/p')
    [ "$(sed -n 's/^@dir([^)]*)/@dir/p' "$port/pkg-plist")" = "$dirs" ] ||
        { echo "$name: the plist's @dir entries are not the sample's data directories: $dirs"; status=1; }

    for user in $(make_variable "$port" USERS); do
        grep -q "^$user:\*:[0-9]*:[0-9]*::0:0:" "$ports/UIDs" || { echo "$name: no line for $user in UIDs"; status=1; }
    done
    for group in $(make_variable "$port" GROUPS); do
        grep -q "^$group:\*:[0-9]*:$" "$ports/GIDs" || { echo "$name: no line for $group in GIDs"; status=1; }
    done
done
echo "the monitor's port built with the collector's libraries ${hidden:-out of CMake's and pkg-config's sight}"
exit $status
