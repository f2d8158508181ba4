#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target from its seed corpus for SECONDS (20 by
# default), two at a time. New inputs go to a working corpus under build/fuzz/corpus, never into
# the repository's seeds; a finding is kept as build/fuzz/findings/<target>/crash-*.
# Usage: scripts/fuzz.sh [SECONDS] [target ...]
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(netlink_reply event_table helper_request variant list_text settings)

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j 2 >/dev/null || exit 1

run() {
    local t=$1 work=build/fuzz/corpus/$1 out=build/fuzz/findings/$1
    mkdir -p "$work" "$out"
    build/fuzz/fuzz/${t}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/" "$work" "fuzz/corpus/$t" \
        >"build/fuzz/$t.log" 2>&1
    local status=$?
    local runs cov
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build/fuzz/$t.log")
    cov=$(grep -o 'cov: [0-9]*' "build/fuzz/$t.log" | tail -1)
    if ((status == 0)); then
        echo "fuzz $t: passed, ${runs:-?} runs in ${seconds} s, ${cov:-cov: ?}"
    else
        echo "fuzz $t: FAILED (status $status), see build/fuzz/$t.log and $out"
        grep -m3 -E 'ERROR|runtime error|SUMMARY' "build/fuzz/$t.log"
    fi
    return $status
}

passed=0 failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    pids=()
    for t in "${targets[@]:i:2}"; do
        run "$t" >"build/fuzz/$t.summary" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        if wait "$pid"; then ((passed++)); else ((failed++)); fi
    done
    for t in "${targets[@]:i:2}"; do cat "build/fuzz/$t.summary"; done
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
