#!/bin/bash
# `make run` compiles what the README says it does: the program, the two modules it loads and the console
# probe. Read from make's dry run, so nothing is installed or built. Usage: make_run_test.sh
set -u
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# An empty cache in a build folder of its own, so that the dry run neither configures nor touches a real tree.
mkdir -p "$work/build" && touch "$work/build/CMakeCache.txt"
plan=$(make -C "$source" --no-print-directory -n run BUILD="$work/build" 2>&1) || { echo "FAIL: make -n run: $plan" >&2; exit 1; }
build_line=$(grep -- '--build' <<<"$plan" | grep -- '--target')
failures=0
for target in ostrevo ostrevo-probe ostrevo_sound_module ostrevo_metrics_module; do
    grep -Eq -- "--target( [^ ]+)* $target( |$)" <<<"$build_line" || {
        echo "FAIL: make run does not build $target: $build_line" >&2
        failures=$((failures + 1))
    }
done
grep -q "$work/build/app/ostrevo" <<<"$plan" || { echo "FAIL: make run does not start the program" >&2; failures=$((failures + 1)); }
exit $((failures > 0))
