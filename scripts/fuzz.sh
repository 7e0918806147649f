#!/bin/sh
# Runs every fuzz target of build/fuzz long and prints, per target, the
# inputs run, the coverage reached and the findings (crash, timeout, leak or
# out-of-memory inputs, kept in build/fuzz/findings/<target>/).
#
#   sh scripts/fuzz.sh [SECONDS [RUNS [TARGET...]]]
#
# Each target runs until RUNS inputs (default 10,000,000) or SECONDS
# (default 600), whichever comes first; a hang over 10 s is a finding.
# Named targets (such as fuzz_xmodem) run alone; by default all of them.
# Needs build/fuzz (scripts/build.sh).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
runs=${2:-10000000}
[ $# -gt 2 ] && shift 2 || set --
top=$(pwd)
dir=$top/build/fuzz/tests/fuzz
printf '%-16s %12s %8s %8s %s\n' target inputs seconds edges findings
[ $# -gt 0 ] || set -- $(cd "$dir" && ls -d fuzz_*)
for name in "$@"; do
    target=$dir/$name
    [ -x "$target" ] || continue
    work=$top/build/fuzz/long/$name
    found=$top/build/fuzz/findings/$name
    mkdir -p "$work" "$found"
    log=$top/build/fuzz/long/$name.log
    "$target" -runs="$runs" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
        -artifact_prefix="$found/" -print_final_stats=1 "$work" "$top/tests/fuzz/corpus/$name" \
        > "$log" 2>&1 || true
    inputs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    edges=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' "$log" | tail -1)
    printf '%-16s %12s %8s %8s %s\n' "$name" "${inputs:-?}" "${took:-?}" "${edges:-?}" \
        "$(ls "$found" | wc -l)"
done
