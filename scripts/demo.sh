#!/bin/sh
# Sets up and builds. (The daemons' demo follows once they exist.)
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
sh scripts/deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_SYSCONFDIR="$top/build/demo/etc" \
    -DCMAKE_INSTALL_RUNSTATEDIR="$top/build/demo/run" >/dev/null
ninja -C build/demo
