#!/usr/bin/env bash
# Runs every benchmark and prints its figures as "name: value" (details go to standard error).
# The ICMP benchmarks make a private network namespace each and print "name: skipped (reason)" without root.
set -u
BUILD=${1:-build}
"$BUILD/bench/rtt_match_bench"
"$BUILD/bench/probe_cpu_bench"
"$BUILD/bench/rss_growth_bench"
"$BUILD/bench/hub_bench"
"$BUILD/bench/probe_startup_bench"
"$BUILD/bench/log_bench"
"$BUILD/bench/history_bench"
"$BUILD/bench/history_live_bench"
"$BUILD/bench/settings_save_bench"
"$BUILD/bench/host_list_save_bench"
"$BUILD/bench/idle_wakeups_bench"
"$BUILD/bench/route_bench"
"$BUILD/bench/path_watch_bench"
"$BUILD/bench/path_ledger_bench"
"$BUILD/bench/service_bench"
[ -x "$BUILD/bench/gui_idle_bench" ] && "$BUILD/bench/gui_idle_bench"
[ -x "$BUILD/bench/gui_running_bench" ] && "$BUILD/bench/gui_running_bench"
[ -x "$BUILD/bench/gui_tray_bench" ] && "$BUILD/bench/gui_tray_bench"
[ -x "$BUILD/bench/app_hosts_bench" ] && "$BUILD/bench/app_hosts_bench"
