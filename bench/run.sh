#!/usr/bin/env bash
# Runs every benchmark and prints its figures as "name: value".
set -u
BUILD=${1:-build}
echo "no benchmarks yet"
"$BUILD/bench/log_bench"
