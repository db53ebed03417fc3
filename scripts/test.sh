#!/usr/bin/env bash
# Builds everything and runs every test: the release build's whole suite, the same suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer (any report fails the run), and the fuzz
# targets for a bounded time on their corpora, then the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
failed=0

run_suite() {  # NAME BUILD_DIR CMAKE_ARGS...
  local name=$1 dir=$2
  shift 2
  echo "== $name"
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 900 || failed=1
}

run_suite "release build" build -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=ON -DCW_BUILD_BENCH=ON

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite "sanitizer build (ASan + UBSan)" build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCW_SANITIZE=ON -DCW_BUILD_TESTS=ON -DCW_BUILD_BENCH=OFF
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== fuzz targets (libFuzzer, bounded time)"
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCW_BUILD_FUZZ=ON \
  -DCW_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target convert_fuzz settings_fuzz >/dev/null
ctest --test-dir build-fuzz --output-on-failure -R "fuzz" --timeout 300 || failed=1

echo "== Windows build (mingw-w64) and its tests under Wine"
bash scripts/test-windows.sh || failed=1

exit "$failed"
