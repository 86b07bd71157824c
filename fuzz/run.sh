#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs them.
#   run.sh build             configure and build into $FUZZ_BUILD (default build-fuzz)
#   run.sh replay            run every target over its committed corpus once (what `make test` does)
#   run.sh fuzz [SECONDS]    fuzz every target for SECONDS (default 60), one after the other; prints
#                            fuzz_<target>_execs: N per target and fuzz_crashes: N last
#   run.sh seed              rebuild the committed corpora from seeds.py and what they hold already,
#                            keeping only inputs that add coverage
# Targets run one at a time: each is a single process, and the machine is shared.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
[[ $build = /* ]] || build=$root/$build
jobs=${JOBS:-$(nproc)}
corpus=$root/fuzz/corpus

targets() {
    for source in "$root"/fuzz/*_fuzzer.cpp; do
        basename "$source" _fuzzer.cpp
    done
}

# Extra libFuzzer options of a target.
options() {
    case $1 in
    metrics_request) echo "-max_len=16384" ;; # a head over the server's 8 KiB limit must be reachable
    esac
}

build() {
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
    fi
    cmake --build "$build" --target fuzzers -j "$jobs"
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen

replay() {
    local failed=0
    for t in $(targets); do
        local files=("$corpus/$t"/*)
        [ -e "${files[0]}" ] || { echo "fuzz_${t}: no corpus"; failed=1; continue; }
        if "$build/fuzz_$t" $(options "$t") -runs=0 "$corpus/$t" >"$build/replay_$t.log" 2>&1; then
            echo "fuzz_${t}_replayed: ${#files[@]}"
        else
            echo "fuzz_${t}: FAILED on its corpus"
            tail -n 40 "$build/replay_$t.log"
            failed=1
        fi
    done
    return $failed
}

fuzz() {
    local seconds=$1 crashes=0
    mkdir -p "$build/findings"
    for t in $(targets); do
        # New inputs go to the build tree; the committed corpus is only read.
        mkdir -p "$build/corpus/$t"
        local log=$build/fuzz_$t.log status=0
        "$build/fuzz_$t" $(options "$t") -max_total_time="$seconds" -timeout=90 -print_final_stats=1 \
            -artifact_prefix="$build/findings/$t-" "$build/corpus/$t" "$corpus/$t" >"$log" 2>&1 || status=$?
        local execs
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        echo "fuzz_${t}_execs: ${execs:-0}"
        if [ "$status" -ne 0 ]; then
            crashes=$((crashes + 1))
            echo "fuzz_${t}: finding (exit $status), see $log and $build/findings/$t-*" >&2
            grep -m 1 -E '^(==[0-9]+==ERROR|SUMMARY|.*: runtime error|[a-z_]+: )' "$log" >&2 || true
        fi
    done
    echo "fuzz_crashes: $crashes"
    [ "$crashes" -eq 0 ]
}

seed() {
    local fresh
    fresh=$(mktemp -d)
    python3 "$root/fuzz/seeds.py" "$fresh"
    for t in $(targets); do
        mkdir -p "$fresh/$t" "$build/corpus/$t" "$corpus/$t"
        local merged=$fresh/merged-$t
        mkdir -p "$merged"
        "$build/fuzz_$t" $(options "$t") -merge=1 "$merged" "$fresh/$t" "$corpus/$t" \
            >"$build/merge_$t.log" 2>&1
        rm -f "$corpus/$t"/*
        cp "$merged"/* "$corpus/$t"/
        echo "$t: $(ls "$corpus/$t" | wc -l) inputs, $(du -cb "$corpus/$t"/* | tail -n 1 | cut -f1) bytes"
    done
    rm -rf "$fresh"
}

case ${1:-} in
build) build ;;
replay) build && replay ;;
fuzz) build && fuzz "${2:-60}" ;;
seed) build && seed ;;
*)
    echo "usage: $0 build|replay|fuzz [SECONDS]|seed" >&2
    exit 2
    ;;
esac
