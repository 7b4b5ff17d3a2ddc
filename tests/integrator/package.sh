#!/usr/bin/env bash
# Builds the Debian package from the build folder $1, unpacks it into a scratch root
# and pays against the unpacked lorvani-sim with the unpacked zvpa-ecr, which must find
# the unpacked library by itself.
set -euo pipefail
build=$1
work=$(realpath "$(mktemp -d)")
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/zvpa-lorvani-10_*.deb)

contents=$(dpkg-deb -c "$deb")
for file in ./usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10.so ./usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10_print.so \
  ./usr/include/ZVPA_LORVANI_10.h ./usr/bin/zvpa-ecr \
  ./usr/bin/lorvani-sim ./usr/share/doc/zvpa-lorvani-10/README.md; do
  grep -q " $file\$" <<<"$contents" || fail "$file is not in the package: $contents"
done
# Read from the binaries: the library's HTTP, TLS and XML libraries.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libcurl4 libssl3 libpugixml1v5 libstdc++6; do
  grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done
# The printing module's spooler, page and picture libraries.
for library in libcups2 libcairo2 libpng16-16; do
  grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done

dpkg -x "$deb" "$work/root"
bin=$work/root/usr/bin
"$bin/lorvani-sim" --port 0 --token package-token --ca-out "$work/ca.pem" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 100); do
  [[ -s "$work/sim.out" ]] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err"; fail "lorvani-sim did not start"; }
  sleep 0.1
done
url=$(head -n 1 "$work/sim.out")
[[ -n "$url" ]] || fail "lorvani-sim named no URL"

cat >"$work/session.txt" <<SESSION
OPEN --url $url --bearer package-token --ca-file $work/ca.pem --log-id package
PAY --handle last --amount 7.25 --currency EUR --code PRE-PACKAGE --store S1 --till T2 --operator op
CLOSE --handle last
SESSION
# Logs go to a folder of the test's own: the unpacked tree stays as unpacked.
output=$(cd "$work" && env -u ZV_LIBRARY -u LD_LIBRARY_PATH ZV_LOG_DIR="$work/logs" LD_DEBUG=libs \
  "$bin/zvpa-ecr" --script "$work/session.txt" 2>"$work/ld.log") || { echo "$output"; fail "the session failed"; }
grep -q "PaymentAmount *: 7.25" <<<"$output" || fail "no payment in: $output"
[[ $(grep -c "(success)" <<<"$output") -eq 3 ]] || fail "not three successes: $output"
# The library loaded is the unpacked one, not the build tree's.
loaded=$(sed -n 's/.*calling init: \(.*ZVPA_LORVANI_10\.so\)$/\1/p' "$work/ld.log" | head -n 1)
[[ -n "$loaded" && $(realpath "$loaded") == "$work/root/usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10.so" ]] ||
  fail "the unpacked library was not the one loaded: '$loaded'"
ls "$work"/logs/LogFiles/Payment/ZVPA_LORVANI_10_package_*.log >/dev/null || fail "no device log"
# The session loaded no printing library: the module beside the driver waits for a print.
! grep -Eq "calling init: .*(ZVPA_LORVANI_10_print|libcups|libcairo|libpng)" "$work/ld.log" ||
  fail "a payment session loaded the printing part: $(grep -E 'calling init: .*(print|cups|cairo|png)' "$work/ld.log")"

# A C host links the unpacked library as the README shows, with the unpacked header.
lib=$work/root/usr/lib/zvpa-lorvani-10
cat >"$work/pos.c" <<'SOURCE'
#include <stdio.h>
#include "ZVPA_LORVANI_10.h"
int main(void) {
  BSTR request = SysAllocString(u"ZVPA_LORVANI_10");
  BSTR response = NULL, error = NULL;
  const int result = VERSION(request, &response, &error);
  printf("%d %u\n", result, SysStringLen(response));
  SysFreeString(response);
  SysFreeString(error);
  SysFreeString(request);
  return 0;
}
SOURCE
cc -std=c11 -Wall -Werror -o "$work/pos" "$work/pos.c" -I"$work/root/usr/include" -L"$lib" -l:ZVPA_LORVANI_10.so \
  -Wl,-rpath,"$lib" || fail "the C host does not build"
version=$(cd "$work" && env -u LD_LIBRARY_PATH ZV_LOG_DIR="$work/logs" ./pos) || fail "the C host failed"
[[ "$version" =~ ^0\ [1-9][0-9]*$ ]] || fail "the C host's VERSION answered '$version'"
echo "package: $(basename "$deb") pays from a scratch root; a C host links its library"
