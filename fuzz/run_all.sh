#!/bin/sh
# run_all.sh FUZZ_BUILD_DIR SECONDS: every built fuzz target for SECONDS over
# its corpus; stops at the first finding (the input is kept in
# FUZZ_BUILD_DIR/fuzz-work/<target>/).
set -eu
build=$1 seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
found=0
for bin in "$build"/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    name=${bin##*/fuzz_}
    found=1
    echo "== $name: $seconds s"
    "$here/run_fuzz.sh" "$bin" "$here/corpus/$name" "$seconds" "$build/fuzz-work/$name"
done
[ "$found" = 1 ] || { echo "no fuzz targets in $build/fuzz"; exit 1; }
