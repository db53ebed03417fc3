#!/usr/bin/env bash
# Shows the relay working inside the sandbox of the unit that "corbelwynford /I" writes, under a
# real systemd: a throwaway Debian 12 root (debootstrap from this machine's mirror) is booted with
# systemd-nspawn on a private network. First the program installed by hand: "/I" registers the
# service, which relays files to a loopback server in the container, from the program folder, from
# folders under /tmp and /home owned by other users, and into a failed-message file; the running
# service's own capabilities, seccomp state and read-only mounts are read from /proc. Then the
# Debian package: its service runs as its own user without capabilities. Under both, a member of
# the group corbelwynford tries every way in through the spool folder (scripts/sandbox-attacks.sh),
# and then the package's service is run as an administrator meets it, with Debian's own Gammu and
# smstools feeding it (scripts/sandbox-operations.sh). About seven minutes: not part of the
# regular test run. Needs root. Ends with "N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
started=$SECONDS
root=""
timeout_pid=""
nspawn_pid=""
leader=""
. scripts/debian-root.sh
. scripts/sandbox-attacks.sh
. scripts/sandbox-operations.sh

in_ct() {  # COMMAND...: run in the container, bounded, with a clean environment
  timeout --kill-after=5 60 nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 "$@" </dev/null
}
unit_journal() { in_ct journalctl -q -o cat -u corbelwynford.service; }
claimed_and_gone() { in_ct sh -c '! [ -e "$1" ] && ! [ -e "$1.\$\$\$" ]' sh "$1"; }  # FILE
put_in_place() {  # FILE: FILE.new takes its place, with its owner and mode when it is there
  [ -e "$1" ] && chown --reference="$1" "$1.new" && chmod --reference="$1" "$1.new"
  mv "$1.new" "$1"
}

cleanup() {
  local status=$?
  set +e
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    [ -n "$leader" ] && in_ct systemctl poweroff >/dev/null 2>&1
    wait_for 30 eval '! kill -0 "$nspawn_pid" 2>/dev/null' || kill -KILL "$nspawn_pid"
  fi
  if [ -n "$timeout_pid" ]; then
    kill -TERM "$timeout_pid" 2>/dev/null  # a container that never showed its systemd
    wait "$timeout_pid" 2>/dev/null
  fi
  finish test-sandbox "$status" "$root"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap and systemd-nspawn)"
for tool in debootstrap:debootstrap systemd-nspawn:systemd-container; do
  command -v "${tool%%:*}" >/dev/null ||
    apt-get install -y -q "${tool##*:}" >/dev/null || die "apt installs ${tool##*:}"
done

# ---- The program ---------------------------------------------------------------------------------
build=$src/build
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target corbelwynford >"$build/sandbox-build.log" 2>&1 ||
  { tail -20 "$build/sandbox-build.log" >&2; die "the program builds"; }
deb=$(build_package "$src/build-package") || die "the package builds"

# ---- The container -------------------------------------------------------------------------------
root=$(mktemp -d /var/tmp/corbelwynford-sandbox.XXXXXX)
chmod 755 "$root"  # its / for the users in it, too
# A name for the web application, so that posting resolves a name.
make_debian_root "$root" "$build/sandbox-debootstrap-cache" "$build/sandbox-debootstrap.log" \
  systemd,python3,libcurl4,libncursesw6,gammu,gammu-smsd,smstools "127.0.1.1	cwsandbox" \
  "127.0.0.1	webapp.test"
echo cwsandbox >"$root/etc/hostname"
install -D -m 0755 "$build/corbelwynford" "$root/opt/corbelwynford/corbelwynford"
install -D -m 0644 tests/servers/http_server.py "$root/srv/http_server.py"
missing=$(chroot "$root" ldd /opt/corbelwynford/corbelwynford | grep 'not found' || true)
[ -z "$missing" ] || die "the program's libraries are in the root: $missing"

timeout --kill-after=10 600 systemd-nspawn --quiet --directory="$root" --machine=cwsandbox \
  --boot --private-network --register=no --keep-unit </dev/null >"$build/sandbox-boot.log" 2>&1 &
timeout_pid=$!
wait_for 20 eval 'nspawn_pid=$(pgrep -P "$timeout_pid" -x systemd-nspawn)' &&
  wait_for 20 eval 'leader=$(pgrep -P "$nspawn_pid" -x systemd)' ||
  { tail -20 "$build/sandbox-boot.log" >&2; die "systemd-nspawn boots the root"; }
# Its manager's socket first: until it is there, systemctl cannot even ask.
wait_for 30 nsenter -t "$leader" -a test -S /run/systemd/private || true
state=$(timeout 180 nsenter -t "$leader" -a systemctl is-system-running --wait 2>&1 || true)
case $state in
  running | degraded) pass "the container boots under systemd ($state)" ;;
  *) die "the container boots under systemd (is-system-running: $state)" ;;
esac

# ---- The server and the service ------------------------------------------------------------------
in_ct systemd-run --quiet --unit=cw-test-server python3 /srv/http_server.py \
  --record /srv/received --port-file /srv/port || die "the loopback server starts"
wait_for 20 test -s "$root/srv/port" || die "the loopback server tells its port"
port=$(head -1 "$root/srv/port")
settings_file=/opt/corbelwynford/Corbelwynford.INI  # as the container names it
write_settings() {  # FILE_TO_SCAN PATH [FAILED_FILE [RETRY_AFTER]]: owner and mode stay
  printf '%s\r\n' "[General]" "ScanInterval=1" "FileToScan=$1" "FailedFile=${3:-}" \
    "RetryAfter=${4:-}" "[Protocol]" "URL=http://webapp.test:$port$2" "WaitForAnswer=5" \
    "Header=Content-Type: text/plain" "XML=sms:[Message]" >"$root$settings_file.new"
  put_in_place "$root$settings_file"
}
write_settings InComingSMS.txt /ok

install_out=$(in_ct /opt/corbelwynford/corbelwynford /I 2>&1) &&
  pass "\"/I\" registers the service in the container: $(echo "$install_out" | tail -1)" ||
  die "\"/I\" registers the service in the container: $install_out"
echo "     $(in_ct systemd-analyze security --no-pager corbelwynford.service | tail -1)"
in_ct systemctl start corbelwynford.service ||
  die "the sandboxed service starts and reports ready"
pid=$(in_ct systemctl show -P MainPID corbelwynford.service)
pass "the sandboxed service starts and reports ready (main process $pid in the container)"

# ---- The sandbox in force, read from the running process ----------------------------------------
status=$(in_ct cat "/proc/$pid/status")
field() { echo "$status" | sed -n "s/^$1:[[:space:]]*//p"; }
# CAP_DAC_OVERRIDE is bit 1, CAP_FOWNER bit 3.
expect "bounding set CAP_DAC_OVERRIDE CAP_FOWNER" "CapBnd $(field CapBnd)" "CapBnd 000000000000000a"
expect "no new privileges, a seccomp filter" \
  "NoNewPrivs $(field NoNewPrivs), Seccomp $(field Seccomp)" "NoNewPrivs 1, Seccomp 2"
mounts=$(in_ct cat "/proc/$pid/mountinfo")
mount_options() {  # PATH: the options of the mount that holds it, as the service sees it
  echo "$mounts" | awk -v p="$1" '
    (p == $5 || index(p, $5 "/") == 1 || $5 == "/") && length($5) >= best { best = length($5); o = $6 }
    END { print o }'
}
for m in /usr:read-only /etc:read-only /sys:read-only /opt/corbelwynford:writable /tmp:writable \
  /home:writable /var:writable; do
  options=$(mount_options "${m%:*}")
  [[ ,$options, == *,ro,* ]] && seen=read-only || seen=writable
  expect "${m%:*} ${m#*:} for the service" "$seen (mount options: $options)" \
    "${m#*:} (mount options: $options)"
done
proc=$(echo "$mounts" | awk '$5 == "/proc" { sub(/.* - /, ""); print }' | tail -1)
case $proc in
  *hidepid=invisible*subset=pid* | *subset=pid*hidepid=invisible*)
    pass "/proc shows the service only its own process, without /proc/sys" ;;
  *) fail "/proc shows the service only its own process, without /proc/sys (/proc: $proc)" ;;
esac

# ---- Relaying under it ---------------------------------------------------------------------------
# Files are made from inside the container: its /tmp is a file system of its own.
in_ct sh -e -c 'mkdir -p /home/sms /tmp/sms /tmp/spool; chown 1000:1000 /home/sms /tmp/spool
  chmod 0700 /home/sms; chmod 1777 /tmp/spool' || die "the folders for the incoming files"
# FileToScan|owner of the file|path on the server|message|expected outcome. The /home folder and
# its file belong to another user with no access for others (CAP_DAC_OVERRIDE); the spool is a
# sticky folder of another user holding a third user's file (CAP_FOWNER to claim and delete it).
cases=(
  "InComingSMS.txt|0|/ok|in the program folder|Sending completed successfully"
  "/tmp/sms/in.txt|0|/ok|in a folder under /tmp|Sending completed successfully"
  "/home/sms/in.txt|1000|/ok|in another user's folder under /home|Sending completed successfully"
  "/tmp/spool/in.txt|1001|/ok|in another user's sticky folder|Sending completed successfully"
  "/tmp/sms/in.txt|0|/status/500|refused, kept in a failed-message file|Sending failed"
)
last_log() { unit_journal | tail -1; }
requests=0
for row in "${cases[@]}"; do
  IFS='|' read -r scan owner path message outcome <<<"$row"
  case $scan in /*) file=$scan ;; *) file=/opt/corbelwynford/$scan ;; esac
  kept=""
  [ "$outcome" = "Sending failed" ] && kept=/tmp/sms/failed.txt
  write_settings "$scan" "$path" "$kept"
  # Written under another name and renamed into place, as the README asks of the writer.
  in_ct sh -e -c 'umask 077; printf "%s\r\n" "$3" >"$1.part"; chown "$2:$2" "$1.part"
    mv "$1.part" "$1"' sh "$file" "$owner" "$message"
  name="a message $message"
  head=$root/srv/received/$(printf '%06d' "$requests").head
  if ! wait_for 30 eval '[ -f "$head" ] && claimed_and_gone "$file"'; then
    fail "$name (no request, or the file was not claimed and deleted)"
    continue
  fi
  body=$(cat "${head%.head}.body")
  requests=$((requests + 1))
  [ "$body" = "sms:$message" ] || { fail "$name (body: $body)"; continue; }
  if [ -n "$kept" ]; then
    wait_for 10 in_ct test -s "$kept" || { fail "$name (nothing kept)"; continue; }
    text=$(in_ct cat "$kept" | od -An -c | tr -s ' ')
    mode=$(in_ct stat -c %a "$kept")
    [ "$text" = "$(printf '%s\r\n' "$message" | od -An -c | tr -s ' ')" ] && [ "$mode" = 640 ] ||
      { fail "$name (kept:$text, mode $mode)"; continue; }
  fi
  wait_for 10 eval 'last_log | grep -qF "$outcome"' && pass "$name" ||
    fail "$name (last log line: $(last_log))"
done

check "the start entry reached the journal through its socket" \
  test -n "$(in_ct journalctl -q -o cat CORBELWYNFORD_EVENT_ID=110)"
# The service holds the one-instance lock on its executable file: a second start ends at once.
second=0
in_ct timeout 10 /opt/corbelwynford/corbelwynford >/dev/null 2>&1 || second=$?
expect "a second start is refused while the service holds its lock" "status $second" "status 1"
[ "$(in_ct systemctl is-active corbelwynford.service)" = active ] &&
  [ "$(in_ct systemctl show -P MainPID corbelwynford.service)" = "$pid" ] &&
  pass "the service still runs, never killed by its filter" ||
  fail "the service still runs ($(unit_journal | tail -5))"

# ---- Ways in through the spool, against the relay as root ----------------------------------------
# The spool folder as the package made it before the relay had a user of its own.
in_ct sh -e -c 'groupadd --system corbelwynford; mkdir -p /var/spool/corbelwynford
  chown root:corbelwynford /var/spool/corbelwynford /opt/corbelwynford/Corbelwynford.INI
  chmod 2775 /var/spool/corbelwynford; chmod 0640 /opt/corbelwynford/Corbelwynford.INI' ||
  die "the spool folder of the earlier package"
make_attack_users || die "the users who feed and attack"
write_settings "$incoming" /ok
run_attacks "the unit of \"/I\", as root"
stopped_cleanly() {
  in_ct systemctl stop corbelwynford.service
  expect "systemctl stop ends it cleanly" \
    "Result $(in_ct systemctl show -P Result corbelwynford.service)" "Result success"
}
stopped_cleanly

# ---- The Debian package's service ----------------------------------------------------------------
in_ct /opt/corbelwynford/corbelwynford /U >/dev/null 2>&1 || die "\"/U\" removes the service"
rm -rf "$root/opt/corbelwynford"
cp "$deb" "$root/srv/corbelwynford.deb"  # the container's /tmp is its own
in_ct dpkg -i /srv/corbelwynford.deb >"$build/sandbox-dpkg.log" 2>&1 ||
  { tail -5 "$build/sandbox-dpkg.log" >&2; die "dpkg installs the package over the earlier spool"; }
settings_file=/etc/corbelwynford/Corbelwynford.INI
packaged=$build/sandbox-packaged.INI  # the package's own settings, for what an administrator meets
cp "$root$settings_file" "$packaged"
write_settings "$incoming" /ok
in_ct corbelwynford /I >/dev/null 2>&1 && in_ct systemctl start corbelwynford.service ||
  die "the package's service starts"
pid=$(in_ct systemctl show -P MainPID corbelwynford.service)
status=$(in_ct cat "/proc/$pid/status")
uid=$(in_ct id -u corbelwynford)
echo "     $(in_ct systemd-analyze security --no-pager corbelwynford.service | tail -1)"
expect "the package's service runs as the user corbelwynford ($uid), its capability set empty" \
  "Uid $(field Uid | cut -f1), CapBnd $(field CapBnd), CapEff $(field CapEff)" \
  "Uid $uid, CapBnd 0000000000000000, CapEff 0000000000000000"
run_attacks "the package's unit"
run_operations
stopped_cleanly
