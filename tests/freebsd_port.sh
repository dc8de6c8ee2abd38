#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port kept in step with the tree.
#   freebsd_port.sh rc SOURCE: the port's rc.d scripts (USE_RC_SUBR,
#     files/NAME.in) are dist/rc.d's, with %%PREFIX%% for /usr/local.
#   freebsd_port.sh plist SOURCE WORK CMAKE: pkg-plist is what cmake
#     --install puts under the prefix for a build configured as the port
#     configures it.
set -eu
mode=$1 src=$2
port=$src/dist/freebsd

# A variable of the port's Makefile, its words one a line.
make_variable() {
    sed -n "s/^$1=[[:space:]]*//p" "$port/Makefile" | tr -s ' \t' '\n\n'
}

if [ "$mode" = rc ]; then
    status=0
    if [ "$(make_variable USE_RC_SUBR | sort)" != "$(ls "$src/dist/rc.d" | sort)" ]; then
        echo "USE_RC_SUBR names" $(make_variable USE_RC_SUBR) "; dist/rc.d has" $(ls "$src/dist/rc.d")
        status=1
    fi
    for rc in $(make_variable USE_RC_SUBR); do
        sed 's|/usr/local|%%PREFIX%%|g' "$src/dist/rc.d/$rc" | diff -u "$port/files/$rc.in" - || status=1
    done
    exit $status
fi

work=$3 cmake=$4
# The ports framework's cmake arguments, and the Makefile's own.
args="-DCMAKE_INSTALL_PREFIX=/usr/local -DCMAKE_BUILD_TYPE=Release"
for v in $(make_variable CMAKE_OFF); do args="$args -D$v:BOOL=OFF"; done
for v in $(make_variable CMAKE_ON); do args="$args -D$v:BOOL=ON"; done
for v in $(make_variable CMAKE_ARGS); do args="$args $v"; done
rm -rf "$work/stage"
"$cmake" -S "$src" -B "$work/build" -G Ninja $args >/dev/null
"$cmake" --build "$work/build" >/dev/null
DESTDIR="$work/stage" "$cmake" --install "$work/build" >/dev/null

# The prefix taken off; the framework compresses manual pages, and sample
# configurations are listed with @sample.
sed -e "s|^$work/stage||" -e 's|^/usr/local/||' \
    -e 's|^share/man/man[0-9]/.*|&.gz|' -e 's|^etc/.*\.sample$|@sample &|' \
    "$work/build/install_manifest.txt" | sort >"$work/manifest-plist"
grep -v "^@comment " "$port/pkg-plist" | sort | diff -u - "$work/manifest-plist"
