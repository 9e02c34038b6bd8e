#!/usr/bin/env bash
# Installs what is needed, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite with CTest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
WITH_BROWSER=1 WITH_FUZZ=1 "$top/tools/install-deps.sh"
build="$top/build-test"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTRA_SANITIZE=ON >/dev/null
cmake --build "$build"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@")

# The HTTP request parser and the credential parsing also get time-boxed libFuzzer runs, which
# need clang.
fuzz="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELTRA_SANITIZE=ON -DVELTRA_FUZZ=ON -DVELTRA_BUILD_BENCH=OFF -DVELTRA_BUILD_TOOLS=OFF >/dev/null
cmake --build "$fuzz" --target fuzz_httprequestparser fuzz_credentials
(cd "$fuzz" && ctest --output-on-failure -R '^fuzz_')
