#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Runs probo and colvo of the FreeBSD build on a FreeBSD kernel under QEMU
# (../shared/freebsd-vm, or $FREEBSD_VM): init.c, built here for FreeBSD,
# is the machine's init and checks probo's figures against the kernel's
# on the console; colvo on Linux (replay.cpp) is then fed the datagrams
# colvo received there, and its lines compared with colvo's there.
#   sh tests/freebsd/run.sh [FREEBSD-BUILD [LINUX-BUILD]]
# FREEBSD-BUILD is what scripts/freebsd.sh made from a 13.x root (its
# programs run on the machine's 13.5 libraries), build/freebsd-13.5 by
# default; LINUX-BUILD, build/test by default, holds freebsd_replay.
# Skipped, with one line, without QEMU, makefs, the machine or the build.
set -eu
cd "$(dirname "$0")/../.."
top=$(pwd)
freebsd=${1:-build/freebsd-13.5}
linux=${2:-build/test}
vm=${FREEBSD_VM:-$top/../shared/freebsd-vm}
here=tests/freebsd

skip() {
    echo "FreeBSD run skipped: $*"
    exit 0
}
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (scripts/deps.sh installs qemu-system-x86)"
command -v makefs >/dev/null || skip "no makefs (scripts/deps.sh installs it)"
[ -f "$vm/boot.sh" ] && [ -f "$vm/kernel" ] || skip "no FreeBSD machine at $vm"
stage=$freebsd/stage/usr/local/sbin
[ -x "$stage/probo" ] && [ -x "$stage/colvo" ] || skip "no FreeBSD build at $freebsd (scripts/freebsd.sh makes it from a 13.5 root)"
replay=$linux/tests/freebsd_replay
[ -x "$replay" ] || { echo "FreeBSD run: no $replay (build $linux first)" >&2; exit 1; }

# The machine's root: init, the programs, the configurations, a fresh key,
# and a file for init to read from the disk.
work=$top/build/freebsd-run
rm -rf "$work"
root=$work/root
mkdir -p "$root/sbin" "$root/etc" "$root/usr/local/sbin"
target=x86_64-unknown-freebsd${freebsd##*freebsd-}
clang --target="$target" --sysroot="$freebsd/root" -fuse-ld=lld -O2 -Wall -Wextra -Werror \
    -o "$root/sbin/init" "$here/init.c"
cp "$stage/probo" "$stage/colvo" "$root/usr/local/sbin/"

# The libraries the programs need that the machine lacks, from the root
# they were built against, each where it lies there: colvo's C++ runtime
# and libm, and the link-only librrd (colvo makes no databases here).
needs() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
pending="$root/usr/local/sbin/probo $root/usr/local/sbin/colvo"
while [ -n "$pending" ]; do
    next=""
    for file in $pending; do
        for library in $(needs "$file"); do
            [ ! -e "$vm/userland/lib/$library" ] && [ -z "$(find "$root" -name "$library")" ] || continue
            # Found by its soname, or else by its link name.
            found=$(cd "$freebsd/root" && find lib usr/lib usr/local/lib -name "$library" | head -1)
            [ -n "$found" ] || found=$(cd "$freebsd/root" && find lib usr/lib usr/local/lib -name "${library%%.so*}.so" | head -1)
            [ -n "$found" ] || { echo "FreeBSD run: no $library in $freebsd/root" >&2; exit 1; }
            mkdir -p "$root/$(dirname "$found")"
            cp -L "$freebsd/root/$found" "$root/$(dirname "$found")/$library"
            next="$next $root/$(dirname "$found")/$library"
        done
    done
    pending=$next
done
cp "$here/probo.conf" "$here/colvo.conf" "$here/colvo-reload.conf" "$root/etc/"
od -An -tx1 -N32 /dev/urandom | tr -d ' \n' >"$root/etc/probo.key"
echo >>"$root/etc/probo.key"
chmod 0400 "$root/etc/probo.key"
head -c 4194304 /dev/urandom >"$root/filler"

# A hung machine ends with boot.sh's time limit, and the checks fail.
started=$(date +%s)
sh "$vm/boot.sh" "$root" ${FREEBSD_RUN_LIMIT:-300} "test.time=$(date +%s)" | tr -d '\r' >"$work/console.log" || true
took=$(($(date +%s) - started))

sed -n 's/^init: check /FreeBSD run: /p' "$work/console.log"
status=0
if ! grep -q '^init: .* lines; all checks passed$' "$work/console.log"; then
    grep '^init: FAIL\|^init: log' "$work/console.log" | head -40
    tail -5 "$work/console.log"
    echo "FreeBSD run: FAILED (the console: $work/console.log)"
    status=1
fi
"$replay" "$work/console.log" "$here/colvo.conf" "$here/colvo-reload.conf" "$root/etc/probo.key" || status=1
[ $status -ne 0 ] || echo "FreeBSD run: $(sed -n 's/^init: running on //p' "$work/console.log"), $took s; passed"
exit $status
