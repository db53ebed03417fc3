#!/usr/bin/env bash
# Builds the relay and starts it in application mode, with the sample Corbelwynford.INI next to
# the executable (an existing one there is kept).
set -euo pipefail
cd "$(dirname "$0")/.."
echo "run.sh: installing what is missing and building the relay (the first build takes a minute or two)"
bash scripts/install-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target corbelwynford corbelwynford-feed -j"$(nproc)" >/dev/null
[ -f build/Corbelwynford.INI ] || cp Corbelwynford.INI build/Corbelwynford.INI
exec build/corbelwynford "$@"
