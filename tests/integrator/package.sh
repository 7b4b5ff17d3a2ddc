#!/usr/bin/env bash
# Builds the two Debian packages from the build folder $1 and checks them as Debian
# does (lintian, pedantic and informational: no error, no warning, no hardening tag),
# checks each one's bill of materials (valid CycloneDX, every library its binaries name
# listed, the same components in the licence notices), then pays with the packaged tools
# twice: from a scratch root the packages are unpacked into, and, as root, from the machine itself
# after `apt-get install ./….deb` of both (removed again at the end; skipped when either
# package was installed before, so that nobody's installation is touched).
set -euo pipefail
build=$1
work=$(realpath "$(mktemp -d)")
sim_pid=""
installed_here=0
cleanup() {
  if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if ((installed_here)); then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 \
      zvpa-lorvani-10-tools zvpa-lorvani-10 >"$work/purge.log" 2>&1 || cat "$work/purge.log" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --build "$build" --target zv-package-files >"$work/files.log" 2>&1 || { cat "$work/files.log"; fail "package files"; }
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
driver=$(ls "$work"/out/zvpa-lorvani-10_*.deb)
tools=$(ls "$work"/out/zvpa-lorvani-10-tools_*.deb)

# What each package holds: a till installs the driver alone, without a simulator.
has() { # PACKAGE FILE...
  local contents package=$1
  shift
  contents=$(dpkg-deb -c "$package")
  for file in "$@"; do grep -q " \./${file#/}\$" <<<"$contents" || fail "$file is not in $(basename "$package")"; done
}
has "$driver" /usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10.so /usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10_print.so \
  /usr/include/ZVPA_LORVANI_10.h \
  /usr/share/doc/zvpa-lorvani-10/README.md /usr/share/doc/zvpa-lorvani-10/copyright \
  /usr/share/doc/zvpa-lorvani-10/changelog.gz /usr/share/doc/zvpa-lorvani-10/zvpa-lorvani-10.cdx.json \
  /usr/share/doc/zvpa-lorvani-10/THIRD-PARTY-NOTICES.txt.gz \
  /usr/share/doc/zvpa-lorvani-10/examples/csharp/ZVPA_LORVANI_10.cs \
  /usr/share/doc/zvpa-lorvani-10/examples/csharp/SampleHost.cs \
  /usr/share/doc/zvpa-lorvani-10/examples/csharp/SampleHost.exe.config
has "$tools" /usr/bin/zvpa-ecr /usr/bin/lorvani-sim /usr/lib/zvpa-lorvani-10/fiscal-printer-sim.so \
  /usr/share/man/man1/zvpa-ecr.1.gz /usr/share/man/man1/lorvani-sim.1.gz \
  /usr/share/doc/zvpa-lorvani-10-tools/copyright /usr/share/doc/zvpa-lorvani-10-tools/changelog.gz \
  /usr/share/doc/zvpa-lorvani-10-tools/zvpa-lorvani-10-tools.cdx.json \
  /usr/share/doc/zvpa-lorvani-10-tools/THIRD-PARTY-NOTICES.txt.gz
! dpkg-deb -c "$driver" | grep -q -e "/bin/" -e "sim" || fail "the driver package holds a tool: $(dpkg-deb -c "$driver")"
# Read from the binaries: the library's HTTP, TLS and XML libraries; the tools need the driver.
depends=$(dpkg-deb -f "$driver" Depends)
for library in libcurl4 libssl3 libpugixml1v5 libstdc++6; do
  grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done
# The printing module's spooler, page and picture libraries.
for library in libcups2 libcairo2 libpng16-16; do
  grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done
version=$(dpkg-deb -f "$driver" Version)
grep -q "zvpa-lorvani-10 (= $version)" <<<"$(dpkg-deb -f "$tools" Depends)" || fail "the tools do not depend on the driver"

# Debian's own checks: no error and no warning on either package, and, of its pedantic
# and informational tags, none about hardening or a section the binaries need not carry.
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps installs it)"
lintian --pedantic -I --fail-on error,warning "$driver" "$tools" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log"; fail "lintian"; }
! grep -E "hardening-|binary-has-unneeded-section" "$work/lintian.log" || fail "lintian finds the binaries unhardened"
sed 's/^/  lintian: /' "$work/lintian.log"

dpkg -x "$driver" "$work/root"
dpkg -x "$tools" "$work/root"

# Each package's bill of materials lists what its binaries link, and its licence notices
# are those of the same components.
for deb in "$driver" "$tools"; do
  package=$(dpkg-deb -f "$deb" Package)
  doc=$work/package-$package
  dpkg -x "$deb" "$doc"
  bom=$doc/usr/share/doc/$package/$package.cdx.json
  libraries=$(find "$doc" -type f \( -perm -u+x -o -name '*.so' \) -exec readelf -d {} + 2>/dev/null |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | grep -vx 'ZVPA_LORVANI_10.so' | sort -u)
  [[ -n $libraries ]] || fail "$package: readelf names no library"
  # shellcheck disable=SC2086
  node "$(dirname "$0")/../support/sbom_check.mjs" "$bom" $libraries || fail "$package: the bill of materials"
  notices=$(zcat "$doc/usr/share/doc/$package/THIRD-PARTY-NOTICES.txt.gz")
  python3 -c 'import json, sys; [print(c["name"], c["version"]) for c in json.load(open(sys.argv[1]))["components"]]' \
    "$bom" | while read -r name component_version; do
    grep -q "^$name $component_version" <<<"$notices" || fail "$package: the notices lack $name $component_version"
  done
done

# The installed README speaks of installed files, not of the source tree.
readme=$work/root/usr/share/doc/zvpa-lorvani-10/README.md
! grep -n -e "build/" -e "scripts/" "$readme" || fail "the installed README names the source tree"
grep -q "/usr/lib/zvpa-lorvani-10/fiscal-printer-sim.so" "$readme" || fail "the installed README lacks installed paths"
for tool in zvpa-ecr lorvani-sim; do
  zcat "$work/root/usr/share/man/man1/$tool.1.gz" | grep -q "^\.TH \"\?${tool^^}" || fail "no manual page for $tool"
done

# Starts lorvani-sim BIN-DIR/lorvani-sim and runs a session with BIN-DIR/zvpa-ecr, which
# must load LIBRARY by itself.
pay_with() { # BIN-DIR LIBRARY
  local bin=$1 library=$2 url output loaded
  rm -f "$work/sim.out"
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
  # Logs go to a folder of the test's own.
  output=$(cd "$work" && env -u ZV_LIBRARY -u LD_LIBRARY_PATH ZV_LOG_DIR="$work/logs" LD_DEBUG=libs \
    "$bin/zvpa-ecr" --script "$work/session.txt" 2>"$work/ld.log") || { echo "$output"; fail "the session failed"; }
  grep -q "PaymentAmount *: 7.25" <<<"$output" || fail "no payment in: $output"
  [[ $(grep -c "(success)" <<<"$output") -eq 3 ]] || fail "not three successes: $output"
  loaded=$(sed -n 's/.*calling init: \(.*ZVPA_LORVANI_10\.so\)$/\1/p' "$work/ld.log" | head -n 1)
  [[ -n "$loaded" && $(realpath "$loaded") == "$library" ]] || fail "$library was not the one loaded: '$loaded'"
  ls "$work"/logs/LogFiles/Payment/ZVPA_LORVANI_10_package_*.log >/dev/null || fail "no device log"
  # The session loaded no printing library: the module beside the driver waits for a print.
  ! grep -Eq "calling init: .*(ZVPA_LORVANI_10_print|libcups|libcairo|libpng)" "$work/ld.log" ||
    fail "a payment session loaded the printing part: $(grep -E 'calling init: .*(print|cups|cairo|png)' "$work/ld.log")"
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}
pay_with "$work/root/usr/bin" "$work/root/usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10.so"

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
answer=$(cd "$work" && env -u LD_LIBRARY_PATH ZV_LOG_DIR="$work/logs" ./pos) || fail "the C host failed"
[[ "$answer" =~ ^0\ [1-9][0-9]*$ ]] || fail "the C host's VERSION answered '$answer'"

# Installed as Debian installs it, with apt-get, on this machine; removed at the end.
if [[ $(id -u) -ne 0 ]]; then
  echo "package: not root, apt-get install left out"
elif dpkg-query -W zvpa-lorvani-10 zvpa-lorvani-10-tools >/dev/null 2>&1; then
  echo "package: a zvpa-lorvani-10 package is installed already, apt-get install left out"
else
  installed_here=1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 \
    "$driver" "$tools" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install"; }
  pay_with /usr/bin /usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10.so
  man -w zvpa-ecr >/dev/null && man -w lorvani-sim >/dev/null || fail "man finds no page of the tools"
  # Without ZV_LOG_DIR the installed tool logs in the user's state folder, not in /usr/bin
  # (which purging the package would leave behind).
  (cd "$work" && env -u ZV_LOG_DIR -u XDG_STATE_HOME HOME="$work/home" /usr/bin/zvpa-ecr \
    OPEN --url https://127.0.0.1:9/ --bearer b --log-id state >"$work/state.log" 2>&1) ||
    { cat "$work/state.log"; fail "the installed zvpa-ecr did not open a device"; }
  ls "$work"/home/.local/state/zvpa-ecr/LogFiles/Payment/ZVPA_LORVANI_10_state_*.log >/dev/null ||
    fail "the installed zvpa-ecr wrote no device log in the user's state folder"
  ! ls /usr/bin/LogFiles/Payment/ZVPA_LORVANI_10_state_*.log 2>/dev/null || fail "the installed zvpa-ecr logged in /usr/bin"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 zvpa-lorvani-10-tools \
    zvpa-lorvani-10 >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge"; }
  installed_here=0
  [[ ! -e /usr/bin/zvpa-ecr && ! -e /usr/lib/zvpa-lorvani-10 ]] || fail "files are left after the purge"
fi
echo "package: $(basename "$driver") and $(basename "$tools") pass lintian, pay from a scratch root and installed"
