#!/bin/sh
# The demo as a newcomer runs it: exit 0, and every demo installation named in
# the summary.
set -u
demo=$1
config=$2
out=$(mktemp)
"$demo" --duration 20 >"$out" 2>&1
status=$?
cat "$out"
if [ "$status" -ne 0 ]; then
    echo "demo_test: kov-demo ended with status $status"
    exit 1
fi
for id in $(sed -n 's/.*"id": *"\([^"]*\)".*/\1/p' "$config"); do
    if ! grep -q "^=== Installation $id " "$out"; then
        echo "demo_test: the summary does not name installation $id"
        exit 1
    fi
done
rm -f "$out"
