#!/usr/bin/env bash
# Builds the Debian package and proves it the way an administrator uses it, in a throwaway
# Debian 12 root made with debootstrap from this machine's own apt sources: apt installs it with
# only what it declares, a daemon's own user feeds the spool folder once it is in the group
# corbelwynford, the relay posts the lines to a loopback server on this machine (the root shares
# its network), "/I" registers the service, the man page shows, and a purge leaves nothing behind
# but the operator's unsent messages. The root is removed afterwards.
# Needs root (debootstrap, chroot, mount). Ends with "N passed, M failed".
#   CW_PACKAGE_BUILD: the build folder to package (default build-package, configured here)
#   CW_PACKAGE_ROOT: a root that make_debian_root has already made (the test command makes it
#     while it compiles); this script then takes it over and removes it at its end
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
build=${CW_PACKAGE_BUILD:-$src/build-package}
started=$SECONDS
root=${CW_PACKAGE_ROOT:-}
work=""
server_pid=""
relay_pid=""
. scripts/debian-root.sh

cleanup() {
  local status=$?
  set +e
  [ -n "$relay_pid" ] && stop_process "$relay_pid"
  [ -n "$server_pid" ] && stop_process "$server_pid"
  [ -n "$work" ] && rm -rf "$work"
  finish test-package "$status" "$root"
}
trap cleanup EXIT
trap 'fail "interrupted"; exit 1' INT TERM

in_root() {  # COMMAND...: run in the root, bounded, without a terminal
  timeout --kill-after=10 600 chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive SYSTEMD_OFFLINE=1 "$@" </dev/null
}
# SYSTEMD_OFFLINE: inside a container systemctl does not take the root for a chroot and would ask
# a service manager that is not there; this makes it work on the files, as in a plain chroot.

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mount)"
bash scripts/install-deps.sh

# ---- The package ------------------------------------------------------------------------------
deb=$(build_package "$build") || die "the package builds (log: $build/package.log)"
pass "the package build gives $(basename "$deb") ($(stat -c %s "$deb") bytes)"
echo "     Depends: $(dpkg-deb -f "$deb" Depends)"

if lintian_out=$(lintian --fail-on error "$deb" 2>&1); then lintian_ok=1; else lintian_ok=0; fi
echo "$lintian_out" | grep -v -e 'root privileges' -e '^$' | sed 's/^/     lintian: /' || true
check "lintian finds no error" [ "$lintian_ok" -eq 1 ]

# ---- The throwaway root -----------------------------------------------------------------------
work=$(mktemp -d)
if [ -z "$root" ]; then
  root=$(mktemp -d /var/tmp/corbelwynford-root.XXXXXX)
  make_package_root "$root" "$build"
fi
[ -x "$root/usr/bin/systemctl" ] || die "the Debian 12 root is made ($root)"

mount -t proc proc "$root/proc"  # the program finds its folder through /proc/self/exe

in_root dpkg-query -W -f '${Package}\n' | sort >"$work/before"
cp "$deb" "$root/tmp/"
in_root apt-get update -q >"$work/apt.log" 2>&1 ||
  { tail -5 "$work/apt.log" >&2; die "apt-get update in the root"; }
install_package() {
  in_root sh -c 'cd /tmp && apt-get install -y -q --no-install-recommends ./corbelwynford_*.deb' \
    >"$work/apt.log" 2>&1 || { tail -10 "$work/apt.log" >&2; return 1; }
}
install_package || die "apt installs the package"
pass "apt installs the package"

# Only what it declares: apt adds the declared packages and what they depend on, and each declared
# package owns a library the program loads (dpkg-shlibdeps found them, no hand-kept list).
# By file name: a package may ship a library under /lib while the loader names it under /usr/lib.
in_root sh -c 'for name in $(ldd /opt/corbelwynford/corbelwynford |
  sed -n "s|.*=> /[^ ]*/\([^/ ]*\) .*|\1|p"); do dpkg -S "*/$name"; done' >"$work/owners" || true
dependencies_as_declared() {
  local declared missing="" added
  added=$(comm -13 "$work/before" <(in_root dpkg-query -W -f '${Package}\n' | sort) | tr '\n' ' ')
  echo "     apt added: $added"
  for declared in $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[,|]/ /g'); do
    grep -q "^$declared:" "$work/owners" || missing="$missing $declared"
  done
  [ -z "$missing" ] || echo "     declared but owning no library the program loads:$missing" >&2
  [ -z "$missing" ] && [ -s "$work/owners" ]
}
check "the declared dependencies are the packages of the libraries the program loads" \
  dependencies_as_declared

version_line=$(in_root corbelwynford --version) && echo "     --version: $version_line"
check "corbelwynford --version runs in the root" [ -n "$version_line" ]

# ---- The relay, headless in the root, against a server on this machine ------------------------
python3 tests/servers/http_server.py --record "$work/received" --port-file "$work/port" \
  >/dev/null &
server_pid=$!
wait_for 10 test -s "$work/port" || die "the loopback server starts"
# The packaged settings, pointed at the server; FileToScan stays as packaged.
sed -i -e 's|^ScanInterval=.*|ScanInterval=1|' -e "s|^URL=.*|URL=http://localhost:$(cat "$work/port")/ok|" \
  -e 's|^WaitForAnswer=.*|WaitForAnswer=10|' -e 's|^XML=.*|XML=<sms>[Message]</sms>|' \
  "$root/etc/corbelwynford/Corbelwynford.INI"
spool=$root/var/spool/corbelwynford
incoming=$spool/InComingSMS.txt
spool_made() {
  [ "$(in_root getent passwd corbelwynford | cut -d: -f7)" = /usr/sbin/nologin ] &&
    [ "$(in_root stat -c '%U:%G %a' /var/spool/corbelwynford)" = "corbelwynford:corbelwynford 2770" ] &&
    [ "$(in_root stat -L -c '%U:%G %a' /opt/corbelwynford/Corbelwynford.INI)" = "root:corbelwynford 640" ] &&
    grep -qx 'FileToScan=/var/spool/corbelwynford/InComingSMS.txt' \
      "$root/etc/corbelwynford/Corbelwynford.INI"
}
check "the relay's user owns /var/spool/corbelwynford (the packaged FileToScan's folder), its group may write it and read the settings" \
  spool_made
printf 'first message\r\nsecond message\r\n' >"$incoming.part"
mv "$incoming.part" "$incoming"
chroot "$root" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 /usr/bin/corbelwynford </dev/null \
  >"$work/relay.log" 2>&1 &
relay_pid=$!
posted_and_claimed() {  # HEAD: the post is in, and no incoming or claim file is left
  [ -e "$1" ] && [ ! -e "$incoming" ] && [ ! -e "$incoming.\$\$\$" ]
}
posts_seen() {  # COUNT: that many posts, and no incoming or claim file left, within 30 s
  wait_for 30 posted_and_claimed "$work/received/$(printf %06d $(($1 - 1))).head"
}
posts_seen 2 || true
# A daemon's own user feeds once the README's one command has put it into the group.
feed_as_daemon() {
  printf '%s' "$1" | chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    runuser -u smsdaemon -- /usr/bin/corbelwynford --feed 2>>"$work/feed.log"
}
in_root useradd --system smsdaemon
feeds_with_the_right() {
  ! feed_as_daemon 'refused' && grep -q 'Permission denied' "$work/feed.log" &&
    in_root usermod -aG corbelwynford smsdaemon && feed_as_daemon 'third message' ||
    { sed 's/^/     feed: /' "$work/feed.log" >&2; return 1; }
}
check "a daemon's user feeds only once usermod -aG corbelwynford has granted it" feeds_with_the_right
posts_seen 3 || true
stop_process "$relay_pid"
relay_pid=""
posted_as_written() {
  local n=0 message
  for message in first second third; do
    [ "$(cat "$work/received/00000$n.body" 2>/dev/null)" = "<sms>$message message</sms>" ] || break
    n=$((n + 1))
  done
  [ "$n" = 3 ] && [ ! -e "$work/received/000003.head" ] && [ ! -e "$incoming.\$\$\$" ] ||
    { sed 's/^/     relay: /' "$work/relay.log" >&2; return 1; }
}
check "the relay posts the file's lines and the fed one, as set in /etc/corbelwynford" \
  posted_as_written

# ---- The service, the man page ---------------------------------------------------------------
in_root corbelwynford /I >"$work/install.log" 2>&1 || sed 's/^/     \/I: /' "$work/install.log" >&2
unit=$root/etc/systemd/system/corbelwynford.service
service_registered() {
  [ "$(in_root systemctl is-enabled corbelwynford.service)" = enabled ] &&
    grep -qx 'ExecStart="/opt/corbelwynford/corbelwynford"' "$unit" &&
    grep -qx 'RunAsService=1' "$root/var/lib/corbelwynford/service.ini"
}
check "corbelwynford /I (through /usr/bin) enables a unit that starts /opt/corbelwynford" \
  service_registered

man_page() {
  local page
  page=$(in_root env MANWIDTH=80 man -P cat corbelwynford 2>&1) &&
    [[ $page == CORBELWYNFORD\(1\)* ]] ||
    { echo "$page" | head -5 >&2; return 1; }
}
check "man corbelwynford shows the page" man_page

# ---- Purge -----------------------------------------------------------------------------------
# A claim file left in the spool folder is the operator's: it stays, and the folder with it.
printf 'unsent\r\n' >"$incoming.\$\$\$"
in_root apt-get purge -y -q corbelwynford >"$work/purge.log" 2>&1 ||
  { tail -10 "$work/purge.log" >&2; fail "apt purges the package"; }
package_gone() {
  local path
  for path in /etc/systemd/system/corbelwynford.service \
    /etc/systemd/system/multi-user.target.wants/corbelwynford.service /var/lib/corbelwynford \
    /etc/corbelwynford /usr/bin/corbelwynford /opt/corbelwynford/corbelwynford \
    /opt/corbelwynford/Corbelwynford.INI /usr/share/doc/corbelwynford \
    /usr/share/man/man1/corbelwynford.1.gz /opt/corbelwynford; do
    if [ -e "$root$path" ] || [ -L "$root$path" ]; then
      echo "     still there: $path" >&2
      return 1
    fi
  done
  ! in_root dpkg-query -W -f '${db:Status-Status}' corbelwynford 2>/dev/null |
    grep -qv not-installed
}
check "apt purge removes the service, its store and the package's files" package_gone
kept_and_named() {
  [ -f "$incoming.\$\$\$" ] && grep -qF 'InComingSMS.txt.$$$' "$work/purge.log" &&
    in_root getent passwd corbelwynford >/dev/null && in_root getent group corbelwynford >/dev/null
}
check "purge keeps a claim file still in the spool folder, names it, and keeps its user and group" \
  kept_and_named

# Removed while the folder still held a claim file, which the operator then deals with: a purge
# later leaves no folder behind.
rm -f "$incoming.\$\$\$"
purged_later() {
  install_package && printf 'unsent\r\n' >"$incoming.\$\$\$" &&
    in_root apt-get remove -y -q corbelwynford >"$work/purge.log" 2>&1 &&
    [ -d "$spool" ] && rm "$incoming.\$\$\$" &&
    in_root apt-get purge -y -q corbelwynford >>"$work/purge.log" 2>&1 ||
    { tail -10 "$work/purge.log" >&2
      echo "     apt could not install, remove and purge it again" >&2; return 1; }
  [ ! -e "$spool" ] && ! in_root getent passwd corbelwynford >/dev/null &&
    ! in_root getent group corbelwynford >/dev/null
}
check "a later purge removes the spool folder, the user and the group once the operator's files are gone" \
  purged_later
exit 0
