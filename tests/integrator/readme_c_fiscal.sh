#!/usr/bin/env bash
# Builds the README's C example of a receipt on the simulated fiscal printer, as written
# there, against the control header in $2, and runs it with the simulator $3 as the
# control: the journal must hold the whole receipt.
set -euo pipefail
readme=$1 include=$2 sim=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

awk '/^```c$/ { inside = 1; next } /^```$/ { if (inside) exit } inside' "$readme" >"$work/body.c"
[[ -s "$work/body.c" ]] || fail "no C example in $readme"
{
  printf '#include <dlfcn.h>\n#include <stdlib.h>\n#include "ZvOposFiscalPrinter.h"\nint main(void) {\n'
  cat "$work/body.c"
  printf 'return 0;\n}\n'
} >"$work/receipt.c"
cc -std=c11 -Wall -Werror -I"$include" -o "$work/receipt" "$work/receipt.c" -ldl || fail "the example does not build"
ZV_OPOS_FISCALPRINTER="$sim" FPSIM_JOURNAL="$work/journal.txt" FPSIM_CONTROL="$work/fpsim.ctl" "$work/receipt" ||
  fail "the example failed"
journal=$(sed -E 's#[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}#<stamp>#' "$work/journal.txt")
expected="FISCAL PRINTER SIMULATOR
<stamp>
  2 pc x 1.20
Espresso                         2.40 V1
TOTAL                               2.40
Cash                                5.00
CHANGE                              2.60
RECEIPT NO. 1           <stamp>
** FISCAL RECEIPT **"
[[ "$journal" == "$expected" ]] || fail "the journal holds:
$journal
instead of:
$expected"
echo "the README's fiscal printer example prints its receipt"
