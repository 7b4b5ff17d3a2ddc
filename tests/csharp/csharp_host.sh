#!/usr/bin/env bash
# The C# kit as an integrator uses it on Linux: the declarations and the sample host
# compiled with Mono's compiler (warnings are errors), run with Mono against the built
# library and lorvani-sim, with the shipped SampleHost.exe.config pointed at the built
# library; and Mono's BSTRs checked against the library's (BstrLayout.cs).
#   csharp_host.sh SOURCE-DIR LIBRARY LORVANI-SIM
set -euo pipefail
source=$1 library=$2 sim=$3
work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
for program in mcs mono; do
  command -v $program >/dev/null || fail "$program is not installed (scripts/install-deps installs Mono)"
done

declarations=$source/include/ZVPA_LORVANI_10.cs
mcs -warnaserror -out:"$work/SampleHost.exe" "$source/tools/csharp-host/SampleHost.cs" "$declarations" ||
  fail "the sample host does not compile"
mcs -warnaserror -out:"$work/BstrLayout.exe" "$source/tests/csharp/BstrLayout.cs" "$declarations" ||
  fail "the layout check does not compile"
# The shipped map, with the built library where the package puts the installed one.
sed "s|/usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10.so|$library|" "$source/tools/csharp-host/SampleHost.exe.config" \
  >"$work/SampleHost.exe.config"
grep -q "target=\"$library\"" "$work/SampleHost.exe.config" || fail "the shipped config maps no library"
cp "$work/SampleHost.exe.config" "$work/BstrLayout.exe.config"

# Where the library would put its logs without ZV_LOG_DIR: beside Mono's executable.
mono_logs=$(dirname "$(readlink -f "$(command -v mono)")")/LogFiles
mono_logs_before=$([[ -e $mono_logs ]] && echo yes || echo no)
# The hosts' logs go to their home's folders: ZV_LOG_DIR is the sample's to set.
export HOME=$work/home
unset ZV_LOG_DIR ZV_LIBRARY
# The layout check sets no log folder of its own: the library's would be Mono's (/usr/bin).
(cd "$work" && ZV_LOG_DIR=$work/logs mono BstrLayout.exe) >"$work/layout.out" 2>&1 ||
  { cat "$work/layout.out"; fail "BSTR layout"; }

"$sim" --port 0 --token csharp-token --ca-out "$work/ca.pem" --journal "$work/journal.jsonl" --quiet \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 100); do
  [[ -s $work/sim.out ]] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err"; fail "lorvani-sim did not start"; }
  sleep 0.1
done
url=$(head -n 1 "$work/sim.out")

output=$(cd "$work" && mono SampleHost.exe "$url" csharp-token "$work/ca.pem" 7.25 EUR PRE-CSHARP 2>&1) ||
  { echo "$output"; fail "the sample host failed"; }
for line in "VERSION: Version 1.01 - " "OPEN: result 0" "PAY: result 0" "  PaymentAmount            7.25" \
  "CLOSE: result 0" "paid: order ord_"; do
  grep -qF "$line" <<<"$output" || { echo "$output"; fail "no '$line'"; }
done
grep -q '"status":201,.*preApprovalCode.*PRE-CSHARP' "$work/journal.jsonl" || fail "the simulator took no order: $(cat "$work/journal.jsonl")"
ls "$HOME"/.local/share/ZvpaSampleHost/LogFiles/Payment/ZVPA_LORVANI_10_csharp_*.log >/dev/null ||
  fail "no device log in the sample's folder"
# Nor beside Mono: the sample sets ZV_LOG_DIR before Mono loads the library.
if [[ $mono_logs_before == no && -e $mono_logs ]]; then
  rmdir "$mono_logs" 2>/dev/null || true
  fail "the library made $mono_logs: it was loaded before the sample set ZV_LOG_DIR"
fi

# Nothing listens: the payment is refused before it leaves, and the host says so.
output=$(cd "$work" && mono SampleHost.exe https://127.0.0.1:9/v1/instore/ csharp-token 2>&1) && fail "a failed PAY exited 0"
grep -qF "error: The payment was not sent to the provider" <<<"$output" || { echo "$output"; fail "no failure text"; }
echo "csharp: the sample host paid through Mono; $(tail -n 1 "$work/layout.out")"
