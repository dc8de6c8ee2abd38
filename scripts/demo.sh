#!/bin/sh
# Sets up and builds, then runs both daemons on loopback with the sample
# configurations (everything under build/demo): colvo-mkrrd creates the
# databases, colvo listens, probo sends every second, and the FIFO lines
# are shown live for a while. Both daemons are stopped at the end.
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

mkdir -p "$demo/etc" "$demo/run" "$demo/db"
cp examples/probo.conf "$demo/etc/probo.conf"
sed "s#/var/db/colvo#$demo/db#" examples/colvo.conf > "$demo/etc/colvo.conf"

stop() {
    for name in probo colvo; do
        if [ -s "$demo/run/$name.pid" ]; then
            kill "$(cat "$demo/run/$name.pid")" 2>/dev/null || true
            rm -f "$demo/run/$name.pid"
        fi
    done
}
trap stop EXIT INT TERM
stop

echo "== databases"
"$demo/colvo/colvo-mkrrd" -f "$demo/etc/colvo.conf" || true
ls "$demo/db"
echo "== configuration check"
"$demo/colvo/colvo" -t
"$demo/probo/probo" -t
echo "== starting colvo and probo (detached; probo with -u, every second)"
"$demo/colvo/colvo"
"$demo/probo/probo" -u
echo "== live FIFO lines ($demo/run/colvo.fifo) for $seconds seconds"
timeout "$seconds" cat "$demo/run/colvo.fifo" || true
echo "== last update of $demo/db/load.rrd"
rrdtool lastupdate "$demo/db/load.rrd"
echo "== graphs (live view: $demo/colvo/colvo-top -p $demo/run/colvo.fifo)"
"$demo/colvo/colvo-graph" -f "$demo/etc/colvo.conf" -o "$demo/www"
echo "$demo/www/index.html"
