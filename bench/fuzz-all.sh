#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each of them, one after the other, for a given number of inputs, then prints per target
# how many inputs ran, how long it took and whether anything crashed or a sanitizer reported.
#
#   bench/fuzz-all.sh                      10 million inputs per target
#   bench/fuzz-all.sh --runs 1000000       fewer inputs
#   bench/fuzz-all.sh --seconds 600        at most 10 minutes per target (whichever comes first)
#   bench/fuzz-all.sh fuzz_boardpage ...   only these targets
#
# New inputs found go to build-fuzz/fuzz-all/<target>/corpus (the committed seeds are only read);
# a crashing input is kept as build-fuzz/fuzz-all/<target>/crash-* and the whole output of each
# run in build-fuzz/fuzz-all/<target>.log. Exits non-zero when any target failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
runs=10000000
seconds=0
targets=()
while (($#)); do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
    esac
done

# Target name and the folder of tests/ that holds it and its seeds.
all=(
    "fuzz_httprequestparser http fuzz_corpus"
    "fuzz_credentials access fuzz_corpus"
    "fuzz_boardpage io fuzz_boardpage_corpus"
    "fuzz_doorquery io fuzz_doorquery_corpus"
    "fuzz_centralpackets central fuzz_centralpackets_corpus"
    "fuzz_ipcmessages ipc fuzz_ipcmessages_corpus"
)
if ((${#targets[@]} == 0)); then
    for entry in "${all[@]}"; do targets+=("${entry%% *}"); done
fi

names=()
for target in "${targets[@]}"; do names+=("$target"); done
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELTRA_SANITIZE=ON -DVELTRA_FUZZ=ON -DVELTRA_BUILD_BENCH=OFF -DVELTRA_BUILD_TOOLS=OFF >/dev/null
nice cmake --build "$build" -j2 --target "${names[@]}"

out="$build/fuzz-all"
mkdir -p "$out"
export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen

results=()
failed=0
for target in "${targets[@]}"; do
    entry=""
    for candidate in "${all[@]}"; do
        [[ "${candidate%% *}" == "$target" ]] && entry=$candidate
    done
    if [[ -z "$entry" ]]; then
        echo "unknown target $target" >&2
        exit 2
    fi
    read -r _ folder corpus <<<"$entry"
    work="$out/$target"
    mkdir -p "$work/corpus"
    log="$out/$target.log"
    echo "== $target: $runs inputs$( ((seconds > 0)) && echo ", at most $seconds s")"
    start=$(date +%s)
    set +e
    nice "$build/tests/$folder/$target" -runs="$runs" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" \
        "$work/corpus" "$top/tests/$folder/$corpus" >"$log" 2>&1
    status=$?
    set -e
    elapsed=$(($(date +%s) - start))
    # libFuzzer's own count: "Done N runs in S second(s)", or the last status line on a crash.
    count=$(sed -n 's/^Done \([0-9]*\) runs in.*/\1/p' "$log" | tail -1)
    [[ -n "$count" ]] || count=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -1)
    reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log" || true)
    if ((status == 0 && reports == 0)); then
        verdict="no crash, 0 sanitizer reports"
    else
        verdict="CRASH (exit $status, $reports reports; see $log)"
        failed=1
    fi
    line=$(printf '%-24s %12s inputs %7s s  %s' "$target" "${count:-0}" "$elapsed" "$verdict")
    echo "$line"
    results+=("$line")
done

echo
echo "target                         inputs    time  result"
printf '%s\n' "${results[@]}"
exit $failed
