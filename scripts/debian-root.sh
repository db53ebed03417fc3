# shellcheck shell=bash
# Sourced by the scripts that prove the program in a throwaway Debian 12 root: the tally of
# checks, bounded waits, the package, and the making of the root from this machine's own apt
# sources; and by the test command, for the compiler launcher and the removal of a root.
passed=0
failed=0
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
pass() {
  echo "ok   $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $*" >&2
  failed=$((failed + 1))
}
die() {  # a step the later ones cannot do without
  fail "$*"
  exit 1
}
check() {  # NAME COMMAND...
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
expect() {  # NAME ACTUAL EXPECTED: passes when they are equal, else names what it got
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1 (got: $2)"; fi
}
wait_for() {  # SECONDS COMMAND...: true once COMMAND succeeds, polled every 0.2 s
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
ended() { ! kill -0 "$1" 2>/dev/null; }  # PID
stop_process() {  # PID: TERM, then KILL if it is still there after 10 s
  kill -TERM "$1" 2>/dev/null || return 0
  wait_for 10 ended "$1" || kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null || true
}
# finish NAME STATUS ROOT: the end of a script's EXIT trap: removes ROOT (if any), prints the time
# and the tally, and exits 0 only when STATUS is 0 and no check failed.
finish() {
  [ -n "$3" ] && { remove_root "$3" || failed=$((failed + 1)); }
  # shellcheck disable=SC2154  # each script sets started first
  echo "$1: $((SECONDS - started)) s"
  echo "$passed passed, $failed failed"
  [ "$2" -eq 0 ] && [ "$failed" -eq 0 ] && exit 0
  exit 1
}

# The machine's own mirror for Debian 12, from its apt sources in either form; empty when none.
debian_mirror() {
  # shellcheck disable=SC2016  # apt's own field names
  apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' |
    awk '$2 == "bookworm" { print $1; exit }'
}

# make_debian_root ROOT CACHE LOG PACKAGES [HOSTS LINE...]: a minbase Debian 12 root with the
# comma-separated PACKAGES and a standard /etc/hosts ending in the given lines. A root that cannot
# be made within 15 minutes ends the script.
make_debian_root() {
  local root=$1 cache=$2 log=$3 packages=$4 mirror
  shift 4
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || die "a Debian 12 (bookworm) source in /etc/apt/sources.list or sources.list.d"
  mkdir -p "$cache"
  echo "     making a Debian 12 root from $mirror"
  if ! timeout --kill-after=30 900 debootstrap --variant=minbase --include="$packages" \
    --cache-dir="$cache" bookworm "$root" "$mirror" >"$log" 2>&1; then
    tail -5 "$log" >&2
    die "the Debian 12 root can be made (debootstrap from $mirror failed or took too long;" \
      "log: $log)"
  fi
  printf '%s\n' "127.0.0.1	localhost" "::1		localhost ip6-localhost ip6-loopback" \
    "ff02::1		ip6-allnodes" "ff02::2		ip6-allrouters" "$@" >"$root/etc/hosts"
}

mounts_under() {  # DIR: the mount points below it, innermost first
  findmnt -rn -o TARGET | awk -v d="$1/" 'index($0, d) == 1' | sort -r
}

# remove_root ROOT: unmounts what is mounted below ROOT and removes it; fails, leaving it in
# place, when something stays mounted there.
remove_root() {
  local m
  [ -d "$1" ] || return 0
  for m in $(mounts_under "$1"); do umount "$m" || umount -l "$m"; done
  if [ -n "$(mounts_under "$1")" ]; then
    echo "$1 still has mounts; left in place" >&2
    return 1
  fi
  # Nothing is mounted below it any more; one file system only, all the same.
  rm -rf --one-file-system "$1"
}

# make_package_root ROOT BUILD: the root the package is tried in; systemd for "/I" and its
# systemctl, man-db for the man page: part of the root, not of the test.
make_package_root() {
  chmod 755 "$1"  # its / for the users in it, too
  make_debian_root "$1" "$2/debootstrap-cache" "$2/debootstrap.log" systemd,man-db
}

# build_package DIR: builds the Debian package in DIR (its log there) and prints its path. A DIR
# already configured for a release build (the test command's) is packaged as it is configured.
build_package() {
  local dir=$1 version configure=(true)
  mkdir -p "$dir"
  rm -f "$dir"/corbelwynford_*.deb
  grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$dir/CMakeCache.txt" 2>/dev/null ||
    configure=(cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF
      -DCW_BUILD_BENCH=OFF "${launcher[@]}")
  if ! { "${configure[@]}" && cmake --build "$dir" -j"$(nproc)" --target package; } \
    >"$dir/package.log" 2>&1; then
    tail -20 "$dir/package.log" >&2
    return 1
  fi
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
  [ -f "$dir/corbelwynford_${version}_amd64.deb" ] && echo "$dir/corbelwynford_${version}_amd64.deb"
}
