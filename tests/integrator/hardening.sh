#!/usr/bin/env bash
# The shipped ELF files are hardened as Debian hardens its own (cmake/Hardening.cmake).
#   hardening.sh BUILD-DIR TARGET=FILE...
# For each: hardening-check (devscripts) passes; every compile command of the target
# carries the flags; the functions a program or library offers (its exports, or main)
# begin with endbr64, the mark of -fcf-protection.
# Two of hardening-check's verdicts need the compile commands instead:
# - "Control flow integrity" looks for the program's IBT/SHSTK property, which no
#   program linked on Debian 12 can carry: its C start files (Scrt1.o, crti.o, crtn.o)
#   lack it, and the linker keeps the property only when every input has it.
# - "Fortify Source functions" finds no fortified call in a file whose only fortifiable
#   libc calls are the memcpy, memset and memmove of libstdc++'s string code, whose sizes
#   are not known when compiling; such a file passes when those are its only ones.
set -euo pipefail
build=$1
shift
fail() { echo "FAILED: $*" >&2; exit 1; }
command -v hardening-check >/dev/null || fail "hardening-check is not installed (devscripts, scripts/install-deps)"

flags=(-fstack-protector-strong -fstack-clash-protection -fcf-protection -D_FORTIFY_SOURCE=2 -Werror=format-security)
for pair in "$@"; do
  target=${pair%%=*} file=${pair#*=}
  [[ -f $file ]] || fail "$file is not built"

  report=$(hardening-check --verbose --nocfprotection "$file" 2>&1) || {
    unfortified=$(sed -n 's/^\s*unprotected: //p' <<<"$report" | sort -u | tr '\n' ' ')
    grep -q 'Fortify Source functions: no, only unprotected functions found' <<<"$report" &&
      [[ -z $(tr ' ' '\n' <<<"$unfortified" | grep -vxE 'memcpy|memset|memmove|') ]] &&
      hardening-check --nocfprotection --nofortify "$file" >/dev/null ||
      fail "hardening-check: $report"
  }

  commands=$(ninja -C "$build" -t commands "$target" | grep -E ' -c [^ ]+\.(cpp|c)$' || true)
  [[ -n $commands ]] || fail "no compile command for $target"
  for flag in "${flags[@]}"; do
    missing=$(grep -v -e " $flag " <<<"$commands" | sed -n 's/.* -c //p' | head -n 3 || true)
    [[ -z $missing ]] || fail "$target: compiled without $flag: $missing"
  done
  undone=$(grep -E -e ' -fno-stack-protector | -fcf-protection=none | -U_FORTIFY_SOURCE( -D_FORTIFY_SOURCE=[01])? [^-]' \
    <<<"$commands" | sed -n 's/.* -c //p' | head -n 3 || true)
  [[ -z $undone ]] || fail "$target: a later flag undoes the hardening: $undone"

  if [[ $(readelf -h "$file") == *"DYN (Position-Independent Executable"* || $(readelf -h "$file") == *EXEC* ]]; then
    entries=$(nm --defined-only "$file" | awk '$3 == "main" { print $1 }')
  else
    entries=$(nm -D --defined-only "$file" | awk '$2 == "T" { print $1 }')
  fi
  [[ -n $entries ]] || fail "$file shows no function to look at"
  for address in $entries; do
    first=$(objdump -d --no-show-raw-insn --start-address=0x$address --stop-address=$((0x$address + 4)) "$file" |
      awk -F'\t' '/^ *[0-9a-f]+:/ { print $2; exit }')
    [[ $first == endbr64* ]] || fail "$file: the function at 0x$address begins with '$first', not endbr64"
  done
  echo "ok $target: $(basename "$file")"
done
