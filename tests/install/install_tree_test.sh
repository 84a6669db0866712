#!/bin/sh
# Installs the build with prefix /usr into a temporary DESTDIR and checks the
# tree, the modes, the installed paths in the configuration and the unit,
# that a second install keeps an edited configuration, that another prefix
# moves every path, and that the installed programs run.
# Usage: install_tree_test.sh <cmake> <build-dir>
set -eu
cmake=$1
build=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT INT TERM

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
install_into() {  # <destdir> <prefix>
  DESTDIR=$1 "$cmake" --install "$build" --prefix "$2" >"$dest/install.log" 2>&1 ||
    { cat "$dest/install.log" >&2; fail "cmake --install --prefix $2"; }
}
expect_mode() {  # <path below the tree> <octal mode>
  [ -e "$tree/$1" ] || fail "$1 is missing"
  actual=$(stat -c %a "$tree/$1")
  [ "$actual" = "$2" ] || fail "$1 has mode $actual, expected $2"
}
expect_line() {  # <file> <whole line>
  grep -qxF -- "$2" "$1" || fail "$(basename "$1") lacks the line: $2"
}

tree=$dest/usr-tree
install_into "$tree" /usr
expect_mode usr/sbin/jex 755
expect_mode usr/bin/jexget 755
for script in jex-proclist.sh jex-proccnt.sh jex-cpuusage.sh; do
  expect_mode "usr/libexec/jex/$script" 755
done
expect_mode etc/jex/jex.cfg 600
expect_mode usr/lib/systemd/system/jex.service 644
expect_mode usr/share/man/man1/jexget.1 644
expect_mode usr/share/man/man5/jex.cfg.5 644
expect_mode usr/share/man/man8/jex.8 644

cfg=$tree/etc/jex/jex.cfg
expect_line "$cfg" "jexpath=/usr/sbin/jex"
expect_line "$cfg" "proclistscript=/usr/libexec/jex/jex-proclist.sh"
expect_line "$cfg" "proccntscript=/usr/libexec/jex/jex-proccnt.sh"
expect_line "$cfg" "cpuusagescript=/usr/libexec/jex/jex-cpuusage.sh"
expect_line "$cfg" "badlogfile=/var/log/jex/fail.log"
expect_line "$cfg" "pidfile=/run/jex/jex.pid"
# Nothing that runs programs or replaces the agent is on out of the box.
for off in external=0 shellscript=0 executeaction=0 allowupdates=0; do
  expect_line "$cfg" "$off"
done
unit=$tree/usr/lib/systemd/system/jex.service
expect_line "$unit" "ExecStart=/usr/sbin/jex -i -q /etc/jex/jex.cfg"
expect_line "$unit" "ExecReload=/bin/kill -HUP \$MAINPID"
expect_line "$unit" "ReadWritePaths=/etc/jex -/var/log/jex"
! grep -q '@[A-Z_]*@' "$cfg" "$unit" || fail "a placeholder was left unfilled"
# Nothing outside the prefix, /etc and /var.
for top in "$tree"/*; do
  case "$(basename "$top")" in usr | etc | var) ;; *) fail "unexpected $(basename "$top")" ;; esac
done

# A second install keeps the administrator's configuration.
echo "# edited by the administrator" >>"$cfg"
install_into "$tree" /usr
grep -qx "# edited by the administrator" "$cfg" || fail "a second install replaced jex.cfg"
expect_mode etc/jex/jex.cfg 600

# The installed programs run: -V, and -t on the installed configuration with
# its agent path moved into the tree.
[ "$("$tree/usr/sbin/jex" -V)" = "jex 1.29" ] || fail "jex -V"
sed "s|^jexpath=.*|jexpath=$tree/usr/sbin/jex|" "$cfg" >"$dest/try.cfg"
reply=$("$tree/usr/sbin/jex" -t "$dest/try.cfg" TEST-FileExists "$tree/usr/sbin/jex") ||
  fail "jex -t TEST-FileExists: $reply"
[ "$(echo "$reply" | head -n 1)" = 200 ] || fail "jex -t replied: $reply"
status=0
"$tree/usr/bin/jexget" >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "jexget without a command exited with $status, expected 2"

# Another prefix moves the configuration and every path in it.
tree=$dest/opt-tree
install_into "$tree" /opt/jex
expect_mode opt/jex/etc/jex/jex.cfg 600
expect_line "$tree/opt/jex/etc/jex/jex.cfg" "jexpath=/opt/jex/sbin/jex"
expect_line "$tree/opt/jex/etc/jex/jex.cfg" "cpuusagescript=/opt/jex/libexec/jex/jex-cpuusage.sh"
expect_line "$tree/opt/jex/lib/systemd/system/jex.service" \
  "ExecStart=/opt/jex/sbin/jex -i -q /opt/jex/etc/jex/jex.cfg"
expect_mode opt/jex/sbin/jex 755
echo "install tree: ok"
