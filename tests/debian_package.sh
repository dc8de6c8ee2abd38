#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# debian_package.sh DIR: installs the packages probo and colvo built into
# DIR on this machine, checks what they made (users, directories, units,
# configurations that the daemons accept), runs both daemons as installed
# until colvo has stored and written a packet of probo's, then purges both
# and checks that nothing of theirs is left. The one test that touches the
# system; it removes what it made, and refuses to run beside users of the
# same names that the packages did not make.
set -eu
dir=$(cd "$1" && pwd)
export DEBIAN_FRONTEND=noninteractive
# One run at a time on a machine, whichever checkout it is from; and apt
# waits for another's lock rather than failing.
exec 9>/run/lock/probo-colvo-packages
flock 9
apt="apt-get -o DPkg::Lock::Timeout=600 -y -qq"
fail() { echo "package test: $*" >&2; exit 1; }

purge() {
    $apt purge probo colvo >/dev/null 2>&1 9>&- || true
}
installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed; }

# Left by an interrupted run: ours by name.
if installed probo || installed colvo; then purge; fi
for user in _probo _colvo; do
    ! getent passwd "$user" >/dev/null || fail "a user $user exists that the packages did not make"
done

daemons="" log=""
cleanup() {
    for pid in $daemons $(cat /run/colvo.pid /run/probo.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    rm -f /run/probo.pid /run/colvo.pid /run/colvo.fifo /run/colvo.sock "$log"
    purge
}
trap cleanup EXIT

log=$(mktemp)
$apt install "$dir"/probo_*.deb "$dir"/colvo_*.deb >"$log" 2>&1 9>&- || { cat "$log"; fail "apt-get install failed"; }
files=$(dpkg -L probo colvo)

# What installing made.
for daemon in probo colvo; do
    "/usr/sbin/$daemon" -t -f "/etc/$daemon.conf" >"$log" 2>&1 ||
        { cat "$log"; fail "$daemon -t refuses /etc/$daemon.conf"; }
done
[ "$(getent passwd _probo | cut -d: -f6)" = /var/lib/probo ] || fail "no user _probo at home in /var/lib/probo"
getent passwd _colvo >/dev/null || fail "no user _colvo"
[ "$(stat -c %U:%a /var/lib/probo)" = root:755 ] || fail "/var/lib/probo is not root's"
[ "$(stat -c %U:%G /var/lib/colvo)" = _colvo:_colvo ] || fail "/var/lib/colvo is not _colvo's"
for unit in probo colvo colvo-export; do
    [ -f "/lib/systemd/system/$unit.service" ] || fail "no unit $unit.service"
    [ "$(systemctl is-enabled "$unit.service" 2>/dev/null)" = enabled ] || fail "$unit.service is not enabled"
done

# The configurations as installed work together: colvo stores and writes
# what probo sends. Started as root, each drops to its user.
# Each detaches once its FIFO or socket is made; the pid files are read
# once a line shows both running.
for daemon in colvo probo; do
    "/usr/sbin/$daemon" -f "/etc/$daemon.conf" >"$log" 2>&1 9>&- || { cat "$log"; fail "$daemon did not start"; }
done
line=$(timeout 30 head -n 1 /run/colvo.fifo) || fail "no line from colvo in 30 s"
daemons="$(cat /run/colvo.pid) $(cat /run/probo.pid)"
case $line in 127.0.0.1\;*) ;; *) fail "colvo wrote: $line" ;; esac
case $line in *\;load::*) ;; *) fail "no load in: $line" ;; esac
case $line in *\;mem::*) ;; *) fail "no mem in: $line" ;; esac
[ "$(ps -o user= -p "$(cat /run/colvo.pid)")" = _colvo ] || fail "colvo does not run as _colvo"
# The sample takes all this host sends, each database made at its first packet.
[ "$(stat -c %U /var/lib/colvo/load.rrd /var/lib/colvo/mem.rrd)" = "$(printf '_colvo\n_colvo')" ] ||
    fail "the databases of the configuration were not made _colvo's"
! rrdtool lastupdate /var/lib/colvo/load.rrd | tail -1 | grep -q ' U' || fail "nothing stored in load.rrd"
for pid in $daemons; do
    kill "$pid"
    timeout 10 tail --pid="$pid" -f /dev/null || fail "process $pid did not end"
done
daemons=""
rm -f /run/probo.pid /run/colvo.pid /run/colvo.fifo /run/colvo.sock

# Purged, nothing of theirs is left: no file, no directory that another
# package does not hold too, no user, no unit enabled.
$apt purge probo colvo >"$log" 2>&1 9>&- || { cat "$log"; fail "apt-get purge failed"; }
left=""
for path in $files; do
    [ -e "$path" ] && [ "$path" != /. ] || continue
    [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
    left="$left $path"
done
for user in _probo _colvo; do
    ! getent passwd "$user" >/dev/null || left="$left user:$user"
    ! getent group "$user" >/dev/null || left="$left group:$user"
done
for link in /etc/systemd/system/*/probo.service /etc/systemd/system/*/colvo*.service \
    /var/lib/systemd/deb-systemd-helper-enabled/*/probo.service \
    /var/lib/systemd/deb-systemd-helper-enabled/*/colvo*.service; do
    [ ! -e "$link" ] && [ ! -L "$link" ] || left="$left $link"
done
[ -z "$left" ] || fail "left after purge:$left"
echo "Debian packages: installed, probo -t and colvo -t pass, users, directories and units there," \
    "a line of probo's stored and written by colvo; purged, nothing left"
