#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need: "install-deps.sh build" only what
# the relay's build needs (compiler, libraries, GoogleTest and Google Benchmark), without an
# argument the tests' too (their programs, clang, the Windows stage's mingw-w64 and Wine, the
# package stage's tools). Idempotent: when every package is already installed it prints nothing
# and touches no package list.
set -euo pipefail
packages=(
  build-essential cmake pkg-config python3
  libcurl4-openssl-dev libncurses-dev libsystemd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
)
[ "${1:-}" = build ] || packages+=(
  clang libclang-rt-dev
  openssl tmux systemd locales gammu gammu-smsd smstools
  dpkg-dev debootstrap lintian
  g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth nsis
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
