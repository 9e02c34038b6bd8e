#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer, optimized
# as libFuzzer advises, with debug information for the reports) and runs each of them for a given
# number of inputs, as many targets at a time as there are cores, then prints per target how many
# inputs ran, how long it took and whether anything crashed or a sanitizer reported.
#
#   bench/fuzz-all.sh                      10 million inputs per target
#   bench/fuzz-all.sh --runs 1000000       fewer inputs
#   bench/fuzz-all.sh --seconds 600        at most 10 minutes per target (whichever comes first)
#   bench/fuzz-all.sh --jobs 1             one target at a time
#   bench/fuzz-all.sh --workers 2 fuzz_ipcmessages   one target, two processes sharing its corpus
#   bench/fuzz-all.sh fuzz_boardpage ...   only these targets
#
# The tree is build-fuzz-long/ (CI's short runs use the unoptimized build-fuzz/). New inputs found
# go to build-fuzz-long/fuzz-all/<target>/corpus (the committed seeds are only read); a crashing
# input is kept as build-fuzz-long/fuzz-all/<target>/crash-* and the whole output of each run in
# build-fuzz-long/fuzz-all/<target>.log. Exits non-zero when any target failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz-long"
runs=10000000
seconds=0
parallel=$(nproc)
workers=1
targets=()
while (($#)); do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --jobs) parallel=$2; shift 2 ;;
    --workers) workers=$2; shift 2 ;;
    -h | --help) sed -n '2,19p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
    esac
done

# Target name, the folder of tests/ that holds it and its seeds, and the longest input (0:
# libFuzzer's own limit). An IPC message sequence costs about a microsecond a byte under the
# sanitizers; 512 bytes already hold some forty messages, which reach every state of the
# conversation.
all=(
    "fuzz_httprequestparser http fuzz_corpus 0"
    "fuzz_http2session http fuzz_http2session_corpus 0"
    "fuzz_credentials access fuzz_corpus 0"
    "fuzz_boardpage io fuzz_boardpage_corpus 0"
    "fuzz_doorquery io fuzz_doorquery_corpus 0"
    "fuzz_centralpackets central fuzz_centralpackets_corpus 0"
    "fuzz_ipcmessages ipc fuzz_ipcmessages_corpus 512"
    "fuzz_digestchallenge video fuzz_digest_corpus 0"
)
if ((${#targets[@]} == 0)); then
    for entry in "${all[@]}"; do targets+=("${entry%% *}"); done
fi

for target in "${targets[@]}"; do
    found=0
    for candidate in "${all[@]}"; do
        [[ "${candidate%% *}" == "$target" ]] && found=1
    done
    if ((!found)); then
        echo "unknown target $target" >&2
        exit 2
    fi
done

names=()
for target in "${targets[@]}"; do names+=("$target"); done
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTRA_SANITIZE=ON -DVELTRA_FUZZ=ON -DVELTRA_BUILD_BENCH=OFF -DVELTRA_BUILD_TOOLS=OFF >/dev/null
nice cmake --build "$build" -j2 --target "${names[@]}"

out="$build/fuzz-all"
mkdir -p "$out"
export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen

# One target's run, in segments of a million inputs: a libFuzzer process slows down as it ages
# (here, IPC messages ran three times faster in a fresh process than in one an hour old, on the
# same corpus), so each segment is a new process that starts from the corpus grown so far.
# Prints the target's result line.
segment=1000000

# One worker's share of a target: segments until `share` inputs ran; writes its count and exit
# status to $log.<worker>.count.
fuzz_worker() {
    local target=$1 folder=$2 corpus=$3 maxlen=$4 share=$5 worker=$6 start=$7
    local work="$out/$target" wlog="$out/$target.log.$worker" count=0 status=0 done_now left
    local limit reports=0
    : >"$wlog"
    while ((count < share)); do
        left=$((share - count))
        limit=0
        if ((seconds > 0)); then
            limit=$((seconds - ($(date +%s) - start)))
            ((limit > 0)) || break
        fi
        set +e
        nice "$build/tests/$folder/$target" -runs=$((left < segment ? left : segment)) \
            -max_total_time="$limit" -timeout=20 -max_len="$maxlen" -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$work/" \
            "$work/corpus" "$top/tests/$folder/$corpus" >"$wlog.segment" 2>&1
        status=$?
        set -e
        cat "$wlog.segment" >>"$wlog"
        # libFuzzer's own count: "Done N runs in S second(s)", or the last status line on a crash.
        done_now=$(sed -n 's/^Done \([0-9]*\) runs in.*/\1/p' "$wlog.segment" | tail -1)
        [[ -n "$done_now" ]] || done_now=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$wlog.segment" | tail -1)
        count=$((count + ${done_now:-0}))
        reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$wlog" || true)
        ((status == 0 && reports == 0)) || break
        ((${done_now:-0} > 0)) || break
    done
    rm -f "$wlog.segment"
    echo "$count $status $reports" >"$wlog.count"
}

# One target's run, shared among `workers` processes at a time that grow one corpus; prints the
# target's result line.
fuzz_one() {
    local target=$1 entry="" candidate folder corpus maxlen log start elapsed w
    local count=0 status=0 reports=0 c s r
    for candidate in "${all[@]}"; do
        [[ "${candidate%% *}" == "$target" ]] && entry=$candidate
    done
    read -r _ folder corpus maxlen <<<"$entry"
    mkdir -p "$out/$target/corpus"
    log="$out/$target.log"
    start=$(date +%s)
    for ((w = 0; w < workers; ++w)); do
        fuzz_worker "$target" "$folder" "$corpus" "$maxlen" \
            $(((runs + workers - 1 - w) / workers)) "$w" "$start" &
    done
    wait
    : >"$log"
    for ((w = 0; w < workers; ++w)); do
        read -r c s r <"$log.$w.count"
        count=$((count + c))
        ((s == 0)) || status=$s
        reports=$((reports + r))
        cat "$log.$w" >>"$log"
        rm -f "$log.$w" "$log.$w.count"
    done
    elapsed=$(($(date +%s) - start))
    if ((status == 0 && reports == 0)); then
        verdict="no crash, 0 sanitizer reports"
    else
        verdict="CRASH (exit $status, $reports reports; see $log)"
    fi
    printf '%-24s %12s inputs %7s s  %s\n' "$target" "$count" "$elapsed" "$verdict"
}

echo "== ${#targets[@]} targets, $runs inputs each$( ((seconds > 0)) && echo ", at most $seconds s each"), $parallel at a time"
for target in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= parallel)); do wait -n || true; done
    fuzz_one "$target" >"$out/$target.result" &
    echo "   started $target"
done
wait

echo
echo "target                         inputs    time  result"
failed=0
for target in "${targets[@]}"; do
    cat "$out/$target.result"
    grep -q CRASH "$out/$target.result" && failed=1
done
exit $failed
