#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds the whole tree for FreeBSD amd64 against a FreeBSD root (its
# headers, libraries and toolchain.cmake) with warnings as errors, tests and
# benchmarks off, and checks that every program links and that probo needs
# only libraries of FreeBSD's base system. The programs are not run.
#
# The root is $FREEBSD_ROOT, else ../shared/freebsd-root beside the project.
# It is copied to build/freebsd-root: symbolic links flattened into small
# files holding the link's target are mended there, and libmicrohttpd,
# which the root lacks, is added as Debian's header and a link-only
# library built for FreeBSD from scripts/microhttpd-linkonly.c; so is the
# base system's libcrypto (the root has its headers only), link-only from
# scripts/libcrypto-linkonly.c.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

# The libraries probo may need on FreeBSD, all of them in the base system;
# another one is added here on purpose, never picked up by accident.
PROBO_LIBS="libc libkvm libdevstat libcam libcrypto"
build=build/freebsd
copy=$top/build/freebsd-root

if [ -n "${FREEBSD_ROOT:-}" ]; then
    root=$FREEBSD_ROOT
    [ -f "$root/toolchain.cmake" ] || { echo "FreeBSD build: FREEBSD_ROOT=$root has no toolchain.cmake" >&2; exit 1; }
else
    root=$top/../shared/freebsd-root
    if [ ! -f "$root/toolchain.cmake" ]; then
        echo "FreeBSD build skipped: no FreeBSD root (set FREEBSD_ROOT, or put one at ../shared/freebsd-root)"
        exit 0
    fi
fi
root=$(cd "$root" && pwd)

# A stub is a small file whose whole content is a relative path that exists
# from the file's own directory: a link flattened on the way here.
stubs() {
    find "$1" -type f -size -256c | while IFS= read -r file; do
        target=$(cat "$file")
        case $target in '' | /* | *[[:space:]]*) continue ;; esac
        [ -e "$(dirname "$file")/$target" ] && printf '%s\n' "$file"
    done
}

# libmicrohttpd's header comes from Debian's libmicrohttpd-dev.
MHD_HEADER=/usr/include/microhttpd.h
MHD_STUB=$top/scripts/microhttpd-linkonly.c
[ -f "$MHD_HEADER" ] || { echo "FreeBSD build: no $MHD_HEADER (scripts/deps.sh installs libmicrohttpd-dev)" >&2; exit 1; }

# The link-only libmicrohttpd.so.12, with a pkg-config file as FreeBSD's
# package puts them.
add_microhttpd() {
    local=$1/usr/local
    mkdir -p "$local/include" "$local/lib" "$local/libdata/pkgconfig"
    cp "$MHD_HEADER" "$local/include/microhttpd.h"
    clang --target=x86_64-unknown-freebsd13.5 -fPIC -shared -nostdlib -fuse-ld=lld \
        -Wl,-soname,libmicrohttpd.so.12 -o "$local/lib/libmicrohttpd.so.12" "$MHD_STUB"
    ln -sf libmicrohttpd.so.12 "$local/lib/libmicrohttpd.so"
    version=$(sed -n 's/^#define MHD_VERSION 0x\(..\)\(..\)\(..\).*/\1 \2 \3/p' "$MHD_HEADER" |
        awk '{ printf "%d.%d.%d", $1 + 0, $2 + 0, $3 + 0 }')
    cat >"$local/libdata/pkgconfig/libmicrohttpd.pc" <<PC
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include
Name: libmicrohttpd
Description: link-only stand-in
Version: $version
Libs: -L\${libdir} -lmicrohttpd
Cflags: -I\${includedir}
PC
}

# The base system's libcrypto.so.111 where FreeBSD keeps it (the library
# in /lib, the link name in /usr/lib), unless the root has it.
CRYPTO_STUB=$top/scripts/libcrypto-linkonly.c
add_libcrypto() {
    [ ! -e "$1/usr/lib/libcrypto.so" ] || return 0
    clang --target=x86_64-unknown-freebsd13.5 -fPIC -shared -nostdlib -fuse-ld=lld \
        -Wl,-soname,libcrypto.so.111 -o "$1/lib/libcrypto.so.111" "$CRYPTO_STUB"
    ln -sf ../../lib/libcrypto.so.111 "$1/usr/lib/libcrypto.so"
}

# The copy is made again only when the root or what is added changed: same
# names, sizes and times give the same signature. Times are kept, so
# nothing is rebuilt.
signature="$root $(cd "$root" && find . -printf '%p %s %T@\n' | sort | cksum) $(cat "$MHD_HEADER" "$MHD_STUB" "$CRYPTO_STUB" | cksum)"
if [ ! -f "$copy/.source" ] || [ "$(cat "$copy/.source")" != "$signature" ]; then
    rm -rf "$copy" "$copy.new"
    mkdir -p "$(dirname "$copy")"
    cp -Rp "$root" "$copy.new"
    chmod -R u+w "$copy.new"
    stubs "$copy.new" | while IFS= read -r file; do
        ln -sf "$(cat "$file")" "$file"
    done
    add_microhttpd "$copy.new"
    add_libcrypto "$copy.new"
    printf '%s\n' "$signature" >"$copy.new/.source"
    mv "$copy.new" "$copy"
fi
sysroot=$copy

# A build tree set up with another toolchain file keeps its compilers.
toolchain=$sysroot/toolchain.cmake
if [ -f "$build/CMakeCache.txt" ] && ! grep -q "^CMAKE_TOOLCHAIN_FILE:.*=$toolchain\$" "$build/CMakeCache.txt"; then
    rm -rf "$build"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr/local \
    -DBUILD_TESTS=OFF -DBUILD_BENCH=OFF -DWERROR=ON >/dev/null
nice ninja -C "$build"

# The programs are what an install puts in sbin; each must be FreeBSD's.
stage=$top/$build/stage
rm -rf "$stage" && DESTDIR="$stage" cmake --install "$build" >/dev/null
programs=""
for program in "$stage"/usr/local/sbin/*; do
    name=$(basename "$program")
    if ! readelf -h "$program" 2>/dev/null | grep -q 'OS/ABI:.*FreeBSD'; then
        echo "FreeBSD build: $name is not a FreeBSD executable" >&2
        exit 1
    fi
    programs="$programs $name"
done
[ -n "$programs" ] || { echo "FreeBSD build: no programs installed" >&2; exit 1; }

needed=$(readelf -d "$stage/usr/local/sbin/probo" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in $needed; do
    case " $PROBO_LIBS " in
    *" ${library%%.so*} "*) ;;
    *)
        echo "FreeBSD build: probo needs $library, not one of the libraries allowed it ($PROBO_LIBS)" >&2
        exit 1
        ;;
    esac
done
echo "FreeBSD build: linked$programs; probo needs" $needed
