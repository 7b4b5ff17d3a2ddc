#!/usr/bin/env bash
# The manual pages of the tools, made as the packages make them (cmake/ManPage.cmake),
# read as man shows them: a synopsis, the environment, the examples one a line, no
# fragment of a two-column list run into a paragraph, and no warning from man at the
# widths of a narrow, a usual and a wide terminal.
#   man_pages.sh CMAKE HELP2MAN MANPAGE-SCRIPT TOOL...
set -euo pipefail
cmake=$1 help2man=$2 script=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

for tool in "$@"; do
  name=$(basename "$tool")
  "$cmake" -DHELP2MAN="$help2man" -DTOOL="$tool" -DOUT="$work/$name.1.gz" -P "$script" >/dev/null
  zcat "$work/$name.1.gz" >"$work/$name.1"
  # Read with roff's escaped minus signs as the plain ones they show.
  page=$work/$name.text.1
  sed 's/\\-/-/g' "$work/$name.1" >"$page"
  # The tool's own --version names the page's version.
  grep -q "^\.TH ${name^^} \"1\" \"[^\"]*\" \"$name [0-9][0-9.]*\"" "$page" || fail "$name: no version in $(head -n 2 "$page")"
  for section in SYNOPSIS DESCRIPTION ENVIRONMENT EXAMPLES; do
    grep -q "^\.SH $section\$" "$page" || fail "$name: no $section section"
  done
  environment=$(sed -n '/^\.SH ENVIRONMENT$/,/^\.SH [^E]/p' "$page")
  for variable in ZV_LOG_DIR ZV_PRINT_MODULE https_proxy no_proxy; do
    grep -q "$variable" <<<"$environment" || fail "$name: ENVIRONMENT does not name $variable"
  done
  # Each example is an entry of its own: a command line, then what it does.
  examples=$(sed -n '/^\.SH EXAMPLES$/,/^\.SH /p' "$page" | sed '1d;/^\.SH /d')
  grep -q '^\.IP' <<<"$examples" && fail "$name: examples run together into a paragraph: $examples"
  entries=$(grep -c '^\.TP' <<<"$examples" || true)
  tagged=$(grep -A1 '^\.TP' <<<"$examples" | grep -c "$name" || true)
  [[ $entries -ge 2 && $tagged -eq $entries ]] || fail "$name: $entries examples, $tagged of them a command line"
  # Two blanks inside running text: an entry of a two-column list ran into a paragraph.
  if stray=$(grep -n '^[^.].*[^ ]  \+[^ ]' "$page"); then fail "$name: stray fragments: $stray"; fi
  for width in 60 80 120; do
    warnings=$(MANWIDTH=$width man --warnings -l "$work/$name.1" 2>&1 >/dev/null || echo "man failed")
    [[ -z $warnings ]] || fail "$name at $width columns: $warnings"
  done
done
((failures == 0)) || exit 1
echo "man pages: $* read without warnings"
