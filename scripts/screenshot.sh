#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Screenshots of the demo's graph pages in headless Chromium, for a person
# to look at; not part of the tests. Runs the demo first when its pages
# are missing (sh scripts/screenshot.sh 60: a minute of data), and
# installs Debian's chromium when it is missing. The images go to
# build/screenshots.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
www="$top/build/demo/www"
shots="$top/build/screenshots"
[ -f "$www/index.html" ] || sh scripts/demo.sh "${1:-30}"
if ! command -v chromium >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq chromium >/dev/null
fi
mkdir -p "$shots"
host=$(ls -d "$www"/*/ | head -1)

# shoot NAME URL WIDTH HEIGHT, each with a new empty profile
shoot() {
    profile=$(mktemp -d)
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$profile" --hide-scrollbars --window-size="$3,$4" \
        --screenshot="$shots/$1.png" "$2" >/dev/null 2>&1
    rm -rf "$profile"
    echo "$shots/$1.png"
}
shoot index "file://$www/index.html" 1280 800
shoot host "file://${host}index.html" 1400 1800
shoot host-phone "file://${host}index.html" 390 1400
