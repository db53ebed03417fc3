#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64 into build-win32/ and runs its tests under Wine
# on a virtual display in one Wine prefix: the window, the relay end to end, and the set-up
# program with the service. Installs what it needs first (scripts/install-deps.sh).
# Exit status non-zero on any failure; the last line is "N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build-win32
echo "== cross build (mingw-w64) into $build"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if ! { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${launcher[@]}" \
         -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF -DCW_BUILD_BENCH=OFF &&
       cmake --build "$build" -j"$(nproc)" &&
       cmake --build "$build" --target setup; } >"$log" 2>&1; then
  cat "$log"
  echo "0 passed, 1 failed"
  exit 1
fi

echo "== Wine tests"
export CW_WIN32_BUILD="$PWD/$build"
xvfb-run -a -s "-screen 0 1024x768x24" python3 tests/win32/run_wine_tests.py
