#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need,
# only when some are missing.
set -eu
PACKAGES="cmake ninja-build g++ clang lld libclang-rt-14-dev pkg-config libgtest-dev librrd-dev rrdtool procps passwd libncurses-dev tmux fonts-dejavu-core mandoc systemd rrdcached"
missing=""
for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing >/dev/null
fi
