#!/bin/sh
# Builds the Debian package into a temporary directory and checks its files,
# their modes, the conffile and the maintainer scripts. Skips (77) without
# cpack or dpkg-deb.
# Usage: package_test.sh <cpack> <build-dir>
set -eu
cpack=$1
build=$2
command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb not found: skipped"; exit 77; }
[ -x "$cpack" ] || { echo "cpack not found: skipped"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT INT TERM

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

(cd "$build" && "$cpack" -G DEB -B "$out" >"$out/cpack.log" 2>&1) ||
  { cat "$out/cpack.log" >&2; fail "cpack -G DEB"; }
set -- "$out"/*.deb
[ -f "$1" ] || fail "no .deb was written"
deb=$1

dpkg-deb -c "$deb" >"$out/contents"
expect_entry() {  # <mode string> <path>
  grep -Eq "^$1 root/root +[0-9]+ .* \./$2\$" "$out/contents" ||
    { cat "$out/contents" >&2; fail "package lacks $1 $2"; }
}
expect_entry -rwxr-xr-x usr/sbin/jex
expect_entry -rwxr-xr-x usr/bin/jexget
expect_entry -rwxr-xr-x usr/libexec/jex/jex-proclist.sh
expect_entry -rwxr-xr-x usr/libexec/jex/jex-proccnt.sh
expect_entry -rwxr-xr-x usr/libexec/jex/jex-cpuusage.sh
expect_entry -rw------- etc/jex/jex.cfg
expect_entry -rw-r--r-- usr/lib/systemd/system/jex.service
expect_entry -rw-r--r-- usr/share/man/man5/jex.cfg.5
expect_entry -rw-r--r-- usr/share/man/man8/jex.8
expect_entry -rw-r--r-- usr/share/man/man1/jexget.1

[ "$(dpkg-deb -f "$deb" Package)" = jex ] || fail "package name"
[ -n "$(dpkg-deb -f "$deb" Version)" ] || fail "package version"

dpkg-deb -e "$deb" "$out/control"
grep -qx /etc/jex/jex.cfg "$out/control/conffiles" || fail "jex.cfg is not a conffile"
for script in postinst prerm postrm; do
  [ -x "$out/control/$script" ] || fail "$script is missing or not executable"
  sh -n "$out/control/$script" || fail "$script does not parse"
done
grep -q "useradd --system" "$out/control/postinst" || fail "postinst creates no system user"
# Installing enables and starts nothing.
! grep -v '^ *#' "$out/control/postinst" |
  grep -Eq "systemctl +(enable|start|restart)|deb-systemd-invoke" ||
  fail "postinst enables or starts the service"
echo "package: ok"
