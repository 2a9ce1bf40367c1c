#!/bin/sh
# run_fuzz.sh BINARY CORPUS SECONDS WORKDIR
# Runs one fuzz target for SECONDS over its corpus. New inputs go to
# WORKDIR/new, never into the corpus in the repository; a crashing input is
# kept in WORKDIR. Exits 77 (skipped) when the target was not built.
set -eu
bin=$1 corpus=$2 seconds=$3 work=$4
if [ ! -x "$bin" ]; then
    echo "fuzz target $bin not built (make fuzz-build needs clang): skipped"
    exit 77
fi
rm -rf "$work/new"
mkdir -p "$work/new"
exec nice -n 10 "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/new" "$corpus"
