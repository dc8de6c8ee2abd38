#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages the build, the tests and the demo need,
# only when some are missing.
set -eu
PACKAGES="cmake ninja-build g++ clang lld libclang-rt-14-dev pkg-config libgtest-dev librrd-dev libssl-dev rrdtool procps passwd libncurses-dev tmux fonts-dejavu-core mandoc systemd rrdcached libmicrohttpd-dev libyaml-dev libprotobuf-c-dev protobuf-c-compiler libsnappy-dev libcurl4-openssl-dev curl reuse debhelper lintian dpkg-dev"
# The exporter's test starts a Prometheus server of its own (and promtool
# checks the exported text); the packaged service is not wanted.
SERVER_PACKAGES="prometheus"
# The FreeBSD run boots a FreeBSD kernel under QEMU from a cd9660 image.
VM_PACKAGES="qemu-system-x86 makefs"
missing=""
for p in $PACKAGES $SERVER_PACKAGES $VM_PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -n "$missing" ] || exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# No service of a package installed here is started: where no policy says
# so already, one says so for the install's length.
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    made_policy=1
fi
status=0
apt-get install -y -qq $PACKAGES >/dev/null || status=$?
[ "$status" -ne 0 ] || apt-get install -y -qq --no-install-recommends $SERVER_PACKAGES $VM_PACKAGES >/dev/null || status=$?
[ -z "$made_policy" ] || rm -f "$policy"
# Where a service manager started it anyway, the system's server is stopped.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet prometheus 2>/dev/null; then
    systemctl stop prometheus || true
    systemctl disable prometheus >/dev/null 2>&1 || true
fi
exit "$status"
