#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Sets up and builds, then runs both daemons on loopback (everything under
# build/demo) with the sample configurations: probo sends all it finds on
# this host (every CPU, interface, disk and file system) and colvo's own
# processes every second, its packets signed with a key made for the
# demo; colvo makes each database at its first packet; and the FIFO lines
# are shown live for a while. colvo changes to the
# user _colvo where that user exists, and stays the starting user with -u
# where not. Both daemons are stopped at the end.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
demo="$top/build/demo"
seconds=${1:-10}
sh scripts/deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTS=OFF \
    -DCMAKE_INSTALL_SYSCONFDIR="$demo/etc" \
    -DCMAKE_INSTALL_RUNSTATEDIR="$demo/run" >/dev/null
ninja -C build/demo probo colvo colvo-mkrrd colvo-graph colvo-top >/dev/null

mkdir -p "$demo/etc/colvo.d" "$demo/run" "$demo/db"
streams="all, debug, proc(=colvo)"
key="$demo/etc/demo.key"
[ -s "$key" ] || (umask 077 && od -An -tx1 -N32 /dev/urandom | tr -d ' \n' > "$key" && echo >> "$key")
echo "monitor { $streams } every second stream to 127.0.0.1 port 2100 key \"$key\"" > "$demo/etc/probo.conf"
sed -e "s#/var/db/colvo#$demo/db#" -e "s#^    datadir .*#&\n    key \"$key\"#" examples/colvo.conf \
    > "$demo/etc/colvo.conf"
keep_user=""
if [ "$(id -u)" = 0 ] && ! id _colvo >/dev/null 2>&1; then
    keep_user="-u"
    echo "== no user _colvo here: colvo keeps running as root (-u)"
elif [ "$(id -u)" = 0 ]; then
    # colvo makes its databases as the user it runs as.
    chown _colvo "$demo/db"
fi
echo "== streams: $streams"

# A daemon holds its pid file locked until it has gone: wait for that, so a
# new run is not refused as a second instance.
stop() {
    for name in probo colvo; do
        if [ -s "$demo/run/$name.pid" ]; then
            pid=$(cat "$demo/run/$name.pid")
            kill "$pid" 2>/dev/null || true
            tries=0
            while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
                sleep 0.1
                tries=$((tries + 1))
            done
            rm -f "$demo/run/$name.pid"
        fi
    done
}
trap stop EXIT INT TERM
stop

echo "== configuration check"
"$demo/colvo/colvo" -t
"$demo/probo/probo" -t
echo "== starting colvo and probo (detached; probo with -u, every second, signed)"
"$demo/colvo/colvo" $keep_user
"$demo/probo/probo" -u
echo "== live FIFO lines ($demo/run/colvo.fifo) for $seconds seconds"
timeout "$seconds" cat "$demo/run/colvo.fifo" || true
echo "== databases colvo made at the first packets"
ls "$demo/db"
echo "== last update of $demo/db/load.rrd"
rrdtool lastupdate "$demo/db/load.rrd"
echo "== graphs (live view: $demo/tools/top/colvo-top -p $demo/run/colvo.fifo)"
"$demo/tools/graph/colvo-graph" -f "$demo/etc/colvo.conf" -o "$demo/www"
echo "$demo/www/index.html"
