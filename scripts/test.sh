#!/usr/bin/env bash
# Builds and runs every test stage: the release build's whole suite, the C++ unit tests built
# with AddressSanitizer and UndefinedBehaviorSanitizer (the end-to-end suites already ran on the
# release program), the settings fuzz target for half a minute, the Windows build under Wine
# (beside the others), and the release build's Debian package in a throwaway Debian root, which
# is made from the network while the rest runs. Each stage prints one line: name, passed and failed
# counts, seconds; a failing stage prints its whole output first. The last line is "N passed, M
# failed" over all stages.
set -uo pipefail
cd "$(dirname "$0")/.."
# What the native build needs comes first; the rest (the tests' programs, Wine, mingw-w64, clang,
# debootstrap) is installed beside the release build, and each stage that needs it waits for it.
bash scripts/install-deps.sh build || exit 1
deps_status=$(mktemp -u)  # holds the installation's exit status once it has ended
setsid -w bash -c 'bash scripts/install-deps.sh; echo $? >"$1"' _ "$deps_status" \
  >"$deps_status.log" 2>&1 &
deps_pid=$!
jobs=$(nproc)
log=$(mktemp)
. scripts/debian-root.sh  # remove_root, and the compiler launcher
# beside() NAME COMMAND...: runs "$@" in a process group of its own, once the packages are in.
beside() {
  local name=$1
  shift
  setsid -w bash -c 'for _ in $(seq 3600); do [ -s "$1" ] && break; sleep 0.5; done
    [ "$(cat "$1" 2>/dev/null)" = 0 ] || { echo "$2: the packages could not be installed"; exit 1; }
    shift 2; exec "$@"' _ "$deps_status" "$name" "$@" &
}
# The package stage's Debian root: debootstrap waits on the network and the disk, the builds on
# the processors, so it is made beside them.
package_root=$(mktemp -d /var/tmp/corbelwynford-root.XXXXXX)
beside "the Debian root" bash -c '. scripts/debian-root.sh && make_package_root "$1" "$2"' _ \
  "$package_root" "$PWD/build" >"$package_root.log" 2>&1
root_pid=$!
end_root() {
  kill -- -"$root_pid" 2>/dev/null
  wait "$root_pid" 2>/dev/null
  remove_root "$package_root" || exit 1  # a root left mounted fails the run
  rm -f "$package_root.log"
}
# The Windows stage compiles, then waits mostly on Wine: it runs beside the native stages, with
# its output in a log of its own, and counts from here.
windows_log=$(mktemp)
windows_since=$SECONDS
beside "the Windows stage" bash scripts/test-windows.sh >"$windows_log" 2>&1
windows_pid=$!
trap 'kill -- -"$deps_pid" -"$windows_pid" 2>/dev/null
  rm -f "$log" "$windows_log" "$deps_status" "$deps_status.log"; end_root' EXIT
total_passed=0
total_failed=0

# Runs "$@" with its output in $log; prints the stage line from the counts that PARSER (a
# function reading $log) sets in passed and failed.
stage() {  # NAME PARSER COMMAND...
  local name=$1 parser=$2 start=${stage_since:-$SECONDS} status
  shift 2
  "$@" >"$log" 2>&1
  status=$?
  passed=0 failed=0
  "$parser"
  if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
  [ "$failed" -ne 0 ] && cat "$log"
  echo "$name: $passed passed, $failed failed, $((SECONDS - start)) s"
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
}

ctest_counts() {
  local last
  last=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -1)
  [[ $last =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]] || return 0
  failed=${BASH_REMATCH[1]} passed=$((BASH_REMATCH[2] - BASH_REMATCH[1]))
}

summary_counts() {
  local last
  last=$(grep -E "^[0-9]+ passed, [0-9]+ failed$" "$log" | tail -1)
  [[ $last =~ ^([0-9]+)\ passed,\ ([0-9]+) ]] && passed=${BASH_REMATCH[1]} failed=${BASH_REMATCH[2]}
}

await_packages() {
  wait "$deps_pid" 2>/dev/null
  [ "$(cat "$deps_status" 2>/dev/null)" = 0 ] || { cat "$deps_status.log"; return 1; }
}

# The end-to-end suites spend most of their time waiting for the program and the servers, so
# ctest runs twice as many at once as there are processors.
build_and_test() {  # DIR CTEST_ARGS -- CMAKE_ARGS...
  local dir=$1 ctest_args=$2
  shift 3
  cmake -S . -B "$dir" "${launcher[@]}" "$@" &&
    cmake --build "$dir" -j"$jobs" &&
    await_packages &&
    ctest --test-dir "$dir" --output-on-failure -j$((jobs * 2)) --timeout 300 $ctest_args
}

stage "release suite" ctest_counts build_and_test build "" -- \
  -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=ON -DCW_BUILD_BENCH=ON

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Unoptimised, with line tables only: the sanitizers catch the same, and the build costs a third of
# an optimised one with full debugging information.
stage "sanitizer unit tests (ASan + UBSan)" ctest_counts build_and_test build-sanitize "-LE e2e" \
  -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1" -DCW_SANITIZE=ON \
  -DCW_BUILD_TESTS=ON -DCW_BUILD_BENCH=OFF
unset ASAN_OPTIONS UBSAN_OPTIONS

fuzz() {
  await_packages &&
    CXX=clang++ cmake -S . -B build-fuzz "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCW_BUILD_FUZZ=ON -DCW_BUILD_BENCH=OFF &&
    cmake --build build-fuzz -j"$jobs" --target settings_fuzz &&
    ctest --test-dir build-fuzz --output-on-failure -j"$jobs" -R fuzz --timeout 120
}
stage "fuzz targets (libFuzzer)" ctest_counts fuzz

windows() {
  wait "$windows_pid"
  local status=$?
  cat "$windows_log"
  return "$status"
}
stage_since=$windows_since stage "Windows under Wine" summary_counts windows

package() {
  local root=$package_root
  if ! wait "$root_pid"; then
    tail -5 "$package_root.log"
    remove_root "$package_root" || return 1
    root=""  # the stage makes one itself
  fi
  CW_PACKAGE_BUILD="$PWD/build" CW_PACKAGE_ROOT="$root" bash scripts/test-package.sh
}
stage "Debian package" summary_counts package

echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
