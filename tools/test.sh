#!/usr/bin/env bash
# Installs what is needed, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite with CTest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
WITH_BROWSER=1 WITH_FUZZ=1 WITH_CHECKS=1 "$top/tools/install-deps.sh"
build="$top/build-test"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTRA_SANITIZE=ON >/dev/null
cmake --build "$build"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@")

# Every parser of outside bytes also gets a libFuzzer run, which needs clang: each target replays
# its committed seeds, then fuzzes for VELTRA_FUZZ_SECONDS (30 s).
fuzz="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELTRA_SANITIZE=ON -DVELTRA_FUZZ=ON -DVELTRA_FUZZ_SECONDS=30 -DVELTRA_BUILD_BENCH=OFF \
    -DVELTRA_BUILD_TOOLS=OFF >/dev/null
cmake --build "$fuzz" --target fuzz_httprequestparser fuzz_credentials fuzz_boardpage \
    fuzz_doorquery fuzz_centralpackets fuzz_ipcmessages fuzz_http2session fuzz_digestchallenge \
    fuzz_relayoptions
(cd "$fuzz" && ctest --output-on-failure -R '^fuzz_')
