#!/usr/bin/env bash
# Installs what is needed, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite with CTest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
WITH_BROWSER=1 "$top/tools/install-deps.sh"
build="$top/build-test"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTRA_SANITIZE=ON >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
