#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds the whole tree for FreeBSD amd64 against each FreeBSD root
# given (its headers, libraries and toolchain.cmake) with warnings as
# errors, tests and benchmarks off, and checks that every program links and
# that probo needs only libraries of FreeBSD's base system. One line per
# root. The programs are not run here (tests/freebsd/run.sh runs them).
#   sh scripts/freebsd.sh [ROOT...]
# Without arguments the root is $FREEBSD_ROOT, else those of
# ../shared/freebsd-root (13.5) and ../shared/freebsd-root-14 that exist.
#
# The target (x86_64-unknown-freebsdX.Y) is the root's own, from its
# toolchain.cmake, and must agree with its sys/param.h. A root is copied to
# build/freebsd-X.Y/root: symbolic links flattened into small files holding
# the link's target are mended there, the libraries of local_libraries,
# which no root has, are added as Debian's headers and link-only libraries
# built for the root's target, and so are the base system's libcrypto where
# the root has its headers only and its libcrypt (crypt(3), for
# colvo-export) where the root lacks it. The build tree is
# build/freebsd-X.Y/tree,
# the installed programs build/freebsd-X.Y/stage.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

# The libraries probo may need on FreeBSD, all of them in the base system;
# another one is added here on purpose, never picked up by accident.
PROBO_LIBS="libc libkvm libdevstat libcam libcrypto"

# Libraries of FreeBSD's ports that programs link and no root carries, one
# a line: pkg-config name, FreeBSD's soname, the link-only source (the
# functions the programs call, no behaviour) and the headers, as paths
# under Debian's /usr/include (a directory is copied whole). Each line is
# handed to the command given. The version in the pkg-config file is
# Debian's.
local_libraries() {
    "$@" libmicrohttpd libmicrohttpd.so.12 scripts/microhttpd-linkonly.c microhttpd.h
    "$@" yaml-0.1 libyaml-0.so.2 scripts/yaml-linkonly.c yaml.h
    "$@" libprotobuf-c libprotobuf-c.so.1 scripts/protobuf-c-linkonly.c protobuf-c
    "$@" snappy libsnappy.so.1 scripts/snappy-linkonly.c snappy-c.h
    "$@" libcurl libcurl.so.4 scripts/curl-linkonly.c x86_64-linux-gnu/curl
}
CRYPTO_STUB=scripts/libcrypto-linkonly.c
CRYPT_STUB=scripts/libcrypt-linkonly.c

if [ $# -eq 0 ]; then
    if [ -n "${FREEBSD_ROOT:-}" ]; then
        set -- "$FREEBSD_ROOT"
    else
        for root in ../shared/freebsd-root ../shared/freebsd-root-14; do
            if [ -f "$root/toolchain.cmake" ]; then
                set -- "$@" "$root"
            else
                echo "FreeBSD build skipped for $root: no FreeBSD root there (name one: sh scripts/freebsd.sh ROOT, or FREEBSD_ROOT)"
            fi
        done
    fi
fi

# A stub is a small file whose whole content is a relative path that exists
# from the file's own directory: a link flattened on the way here.
stubs() {
    find "$1" -type f -size -256c | while IFS= read -r file; do
        target=$(cat "$file")
        case $target in '' | /* | *[[:space:]]*) continue ;; esac
        [ -e "$(dirname "$file")/$target" ] && printf '%s\n' "$file"
    done
}

# A link-only shared library for the target: linkonly SONAME OUTPUT SOURCE.
linkonly() {
    clang --target="$target" -fPIC -shared -nostdlib -fuse-ld=lld -Wl,-soname,"$1" -o "$2" "$top/$3"
}

# One library into the copy's usr/local ($1), with a pkg-config file, as
# FreeBSD's package puts them.
add_local_library() {
    dest=$1 name=$2 soname=$3 source=$4
    shift 4
    mkdir -p "$dest/include" "$dest/lib" "$dest/libdata/pkgconfig"
    for header; do
        cp -R "/usr/include/$header" "$dest/include/"
    done
    linkonly "$soname" "$dest/lib/$soname" "$source"
    link=${soname%%.so*}
    ln -sf "$soname" "$dest/lib/$link.so"
    cat >"$dest/libdata/pkgconfig/$name.pc" <<PC
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include
Name: $name
Description: link-only stand-in
Version: $(pkg-config --modversion "$name")
Libs: -L\${libdir} -l${link#lib}
Cflags: -I\${includedir}
PC
}

# The soname of the base system's libcrypto, from the root's OpenSSL
# headers: FreeBSD numbers OpenSSL 1.1.1's 111 and 3's 30.
crypto_soname() {
    header=$1/usr/include/openssl/opensslv.h
    if grep -q '^# *define OPENSSL_VERSION_MAJOR *3$' "$header"; then
        echo libcrypto.so.30
    elif grep -q '^# *define SHLIB_VERSION_NUMBER "1\.1"$\|^# *define SHLIB_VERSION_NUMBER "111"$' "$header"; then
        echo libcrypto.so.111
    else
        echo "FreeBSD build: $header names no OpenSSL this script knows" >&2
        exit 1
    fi
}

# The base system's libcrypto where FreeBSD keeps it (the library in /lib,
# the link name in /usr/lib), unless the root has it.
add_libcrypto() {
    [ ! -e "$1/usr/lib/libcrypto.so" ] || return 0
    linkonly "$crypto" "$1/lib/$crypto" "$CRYPTO_STUB"
    ln -sf "../../lib/$crypto" "$1/usr/lib/libcrypto.so"
}

# The base system's libcrypt, which crypt(3) is in, where FreeBSD keeps it,
# unless the root has it.
add_libcrypt() {
    [ ! -e "$1/usr/lib/libcrypt.so" ] || return 0
    linkonly libcrypt.so.5 "$1/lib/libcrypt.so.5" "$CRYPT_STUB"
    ln -sf ../../lib/libcrypt.so.5 "$1/usr/lib/libcrypt.so"
}

# The files of one library that go into a copy, for its signature.
local_sources() {
    name=$1 source=$3
    shift 3
    for header; do
        [ -e "/usr/include/$header" ] ||
            { echo "FreeBSD build: no /usr/include/$header for $name (scripts/deps.sh installs it)" >&2; exit 1; }
        find "/usr/include/$header" -type f
    done
    echo "$source"
}

build_root() {
    root=$(cd "$1" && pwd)
    [ -f "$root/toolchain.cmake" ] || { echo "FreeBSD build: $1 has no toolchain.cmake" >&2; exit 1; }
    target=$(sed -n 's/^set(CMAKE_C_COMPILER_TARGET \(x86_64-unknown-freebsd[0-9.]*\))$/\1/p' "$root/toolchain.cmake")
    version=${target#x86_64-unknown-freebsd}
    [ -n "$target" ] || { echo "FreeBSD build: $root/toolchain.cmake names no x86_64 FreeBSD target" >&2; exit 1; }
    # 1305000 is 13.5, 1402000 is 14.2.
    headers=$(awk '$1 == "#define" && $2 == "__FreeBSD_version" { printf "%d.%d", $3 / 100000, $3 / 1000 % 100 }' \
        "$root/usr/include/sys/param.h")
    [ "$headers" = "$version" ] ||
        { echo "FreeBSD build: $root/toolchain.cmake targets $version, its headers are $headers" >&2; exit 1; }
    crypto=$(crypto_soname "$root")

    out=$top/build/freebsd-$version
    copy=$out/root
    # The copy is made again only when the root or what is added changed:
    # same names, sizes and times give the same signature. Times are kept,
    # so nothing is rebuilt.
    added="$(local_libraries local_sources) $CRYPTO_STUB $CRYPT_STUB"
    signature="$root $(cd "$root" && find . -printf '%p %s %T@\n' | sort | cksum) $(cd "$top" && cat $added | cksum)"
    if [ ! -f "$copy/.source" ] || [ "$(cat "$copy/.source")" != "$signature" ]; then
        rm -rf "$copy" "$copy.new"
        mkdir -p "$out"
        cp -Rp "$root" "$copy.new"
        chmod -R u+w "$copy.new"
        stubs "$copy.new" | while IFS= read -r file; do
            ln -sf "$(cat "$file")" "$file"
        done
        local_libraries add_local_library "$copy.new/usr/local"
        add_libcrypto "$copy.new"
        add_libcrypt "$copy.new"
        printf '%s\n' "$signature" >"$copy.new/.source"
        mv "$copy.new" "$copy"
    fi

    build=$out/tree
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$copy/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/usr/local -DBUILD_TESTS=OFF -DBUILD_BENCH=OFF -DWERROR=ON >/dev/null
    nice ninja --quiet -C "$build"

    # The programs are what an install puts in sbin; each must be FreeBSD's.
    stage=$out/stage
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
    needed=$(echo $needed)
    for library in $needed; do
        case " $PROBO_LIBS " in
        *" ${library%%.so*} "*) ;;
        *)
            echo "FreeBSD build: probo needs $library, not one of the libraries allowed it ($PROBO_LIBS)" >&2
            exit 1
            ;;
        esac
    done
    case " $needed " in
    *" $crypto "*) ;;
    *)
        echo "FreeBSD build: probo needs" $needed "- not $crypto, the base system's libcrypto for $version" >&2
        exit 1
        ;;
    esac
    echo "FreeBSD $version build: linked$programs; probo needs" $needed
}

for root; do
    build_root "$root"
done
