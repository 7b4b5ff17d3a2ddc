#!/usr/bin/env bash
# Runs the README's Python example, as written there, against the library $2 (the
# README is $1), with its logs in a folder of the test's own.
set -euo pipefail
readme=$1 library=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

awk '/^```python$/ { inside = 1; next } /^```$/ { if (inside) exit } inside' "$readme" >"$work/example.py"
[[ -s "$work/example.py" ]] || fail "no Python example in $readme"
output=$(cd "$work" && ZV_LIBRARY="$library" ZV_LOG_DIR="$work/logs" python3 example.py 2>&1) ||
  fail "the example failed: $output"
expected="(0, 'Version 1.01 - 10/11/2021', '')
65535 Device Handle not found"
[[ "$output" == "$expected" ]] || fail "the example printed:
$output
instead of:
$expected"
[[ -d "$work/logs/LogFiles" ]] || fail "no LogFiles below ZV_LOG_DIR"
echo "the README's Python example runs"
