#!/usr/bin/env bash
# Applies each deliberate fault of breaks.txt to a scratch copy of the tracked sources, builds the
# program there and runs the end-to-end test named for it; prints whether the test caught it.
# A line of breaks.txt: NAME FILE OLD NEW TEST, with "~" for a space in OLD and NEW.
#   tests/e2e/breaks/run.sh [SCRATCH_DIR]   (default /tmp/cw-breaks)
set -u
src=$(cd "$(dirname "$0")/../../.." && pwd)
work=${1:-/tmp/cw-breaks}
rm -rf "$work" && mkdir -p "$work/src"
(cd "$src" && git ls-files -z | xargs -0 cp --parents -t "$work/src")
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCW_BUILD_TESTS=OFF \
  -DCW_BUILD_BENCH=OFF >/dev/null || exit 1
while read -r name file old new test; do
  if ! python3 - "$work/src/$file" "${old//\~/ }" "${new//\~/ }" <<'PY'; then
import sys
path, old, new = sys.argv[1:]
text = open(path).read()
if old not in text:
    sys.exit(1)
open(path, "w").write(text.replace(old, new, 1))
PY
    echo "$name: pattern not found in $file"
    continue
  fi
  if cmake --build "$work/build" -j"$(nproc)" --target corbelwynford </dev/null \
    >"$work/$name.log" 2>&1; then
    (cd "$work/src/tests/e2e" && CORBELWYNFORD_BINARY="$work/build/corbelwynford" \
      timeout 300 python3 -m unittest "$test" </dev/null >>"$work/$name.log" 2>&1)
    result=$([ $? -ne 0 ] && echo "caught by $test" || echo "NOT CAUGHT by $test")
  else
    result="build failed (see $work/$name.log)"
  fi
  cp "$src/$file" "$work/src/$file"  # a fresh time stamp, so the next build recompiles it
  echo "$name: $result"
done <"$(dirname "$0")/breaks.txt"
