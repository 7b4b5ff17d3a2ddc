#!/usr/bin/env bash
# The Windows integrator's kit, checked as an integrator uses it.
#   kit.sh MODE SOURCE-DIR BUILD-DIR ARCH [EMULATOR...]
# ARCH is i686 (the product) or x86_64 (the 64-bit test build); EMULATOR runs a Windows
# program (Wine through scripts/wine-run). Modes:
#   header     the header compiles as C and C++, before and after <windows.h>, with
#              MinGW, and alone with clang in Microsoft's mode
#   link       a host written against the header links with each import library of the
#              build: MinGW's linker, and lld-link without a C library; both import
#              the plain names from ZVPA_LORVANI_10.dll
#   resources  the DLL's version resource and its stripped form with the debug link
#   package    the zip of scripts/package --windows: its bill of materials is valid CycloneDX
#              and lists what the DLL and the host import, its licence notices hold
#              pugixml's and the MinGW thread library's; its contents alone link the host with both
#              import libraries, and the host pays under Wine against lorvani-sim
#              (ZV_LORVANI_SIM) with its logs in ZV_LOG_DIR, as its own folder takes none
#   hardening  the DLL's and the host's PE headers: ASLR, DEP, no SEH (32-bit), no section
#              both writable and executable, the stack protector linked in (pe_hardening.py)
#   signature  the zip made with a throw-away key and certificate (openssl) and a local
#              RFC 3161 time-stamp server (tsa_server.py): its DLL and host carry
#              time-stamped Authenticode signatures that osslsigncode verifies against that
#              CA, and that fail once a byte is changed; made without a key, they carry none
# Exit 77 (skipped) when a tool the mode needs is missing.
set -euo pipefail
mode=$1 source=$2 build=$3 arch=$4
shift 4
emulator=("$@")
here=$source/tests/library
work=$(mktemp -d /tmp/zv-kit-XXXXXX)
sim_pid= tsa_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [[ -n $tsa_pid ]]; then kill "$tsa_pid" 2>/dev/null || true; wait "$tsa_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

prefix=$arch-w64-mingw32
if [[ $arch == i686 ]]; then
  msvc_target=i686-pc-windows-msvc coff_machine=i386 lld_machine=x86 kill_at=-k
else
  msvc_target=x86_64-pc-windows-msvc coff_machine=i386:x86-64 lld_machine=x64 kill_at=
fi
clang=$(command -v clang-14 || command -v clang || true)
llvm_dlltool=$(command -v llvm-dlltool || command -v llvm-dlltool-14 || true)
lld_link=$(command -v lld-link || command -v lld-link-14 || true)

# The commands the host calls, imported by their plain names whatever its symbols are.
commands=(OPEN PAY CLOSE VERSION)
expect_plain_imports() {
  local exe=$1 imports
  imports=$("$prefix-objdump" -p "$exe" | sed -n '/DLL Name: ZVPA_LORVANI_10.dll/,/^$/p')
  [[ -n $imports ]] || fail "$(basename "$exe") imports nothing from ZVPA_LORVANI_10.dll"
  for name in "${commands[@]}"; do
    grep -Eq "[[:space:]]$name\$" <<<"$imports" || fail "$(basename "$exe") does not import $name by its plain name: $imports"
  done
}

# COFF import libraries of the system DLLs the host calls, as an SDK brings them:
# decorated names on 32-bit (-k imports the plain ones), plain names on 64-bit.
system_library() {
  local out=$1 dll=$2 f
  shift 2
  {
    echo "LIBRARY $dll.dll"
    echo "EXPORTS"
    for f; do if [[ $arch == i686 ]]; then echo "  $f"; else echo "  ${f%@*}"; fi; done
  } >"$out/$dll.def"
  "$llvm_dlltool" -m "$coff_machine" $kill_at -d "$out/$dll.def" -l "$out/$dll.lib"
}
system_libraries() {
  system_library "$1" kernel32 GetStdHandle@4 WriteFile@20 ExitProcess@4 GetEnvironmentVariableW@12 \
    GetModuleHandleW@4 GetModuleFileNameW@12
  system_library "$1" oleaut32 SysAllocString@4 SysStringLen@4 SysFreeString@4
  system_library "$1" version GetFileVersionInfoSizeW@8 GetFileVersionInfoW@16 VerQueryValueW@16
}

# Links the host from a kit folder (header, import libraries, DLL) with both linkers.
link_hosts() {
  local kit=$1 out=$2
  "$prefix-gcc-posix" -std=c11 -Wall -Wextra -Werror -O2 -I"$kit" -o "$out/kit-host-mingw.exe" "$here/kit_host.c" \
    -L"$kit" -lZVPA_LORVANI_10 -loleaut32 -lversion || fail "MinGW's linker refused libZVPA_LORVANI_10.dll.a"
  expect_plain_imports "$out/kit-host-mingw.exe"
  [[ -n $clang && -n $llvm_dlltool && -n $lld_link ]] || skip "no clang, llvm-dlltool or lld-link (Debian's clang-14, llvm, lld)"
  "$clang" --target="$msvc_target" -ffreestanding -O0 -Wall -Wextra -Werror -DZV_KIT_NO_SDK -I"$kit" \
    -c "$here/kit_host.c" -o "$out/kit_host.obj"
  system_libraries "$out"
  "$lld_link" /nologo /machine:"$lld_machine" /subsystem:console /entry:KitEntry /nodefaultlib \
    "$out/kit_host.obj" "$kit/ZVPA_LORVANI_10.lib" "$out/kernel32.lib" "$out/oleaut32.lib" "$out/version.lib" \
    /out:"$out/kit-host-msvc.exe" || fail "lld-link refused ZVPA_LORVANI_10.lib"
  expect_plain_imports "$out/kit-host-msvc.exe"
}

# The zip as scripts/package --windows makes it once the build is there, unpacked into
# FOLDER (with the environment's signing key, if any).
make_kit() { # FOLDER
  local out=$work/out-$(basename "$1") zips
  cmake --build "$build" --target zv-package-files >"$work/files.log" 2>&1 || { cat "$work/files.log"; fail "package files"; }
  cpack --config "$build/CPackConfig.cmake" -B "$out" >"$work/package.log" 2>&1 ||
    { cat "$work/package.log"; fail "cpack"; }
  zips=("$out"/*.zip)
  [[ ${#zips[@]} -eq 1 && -f ${zips[0]} ]] || fail "not one zip: ${zips[*]}"
  mkdir -p "$out/unzipped"
  (cd "$out/unzipped" && unzip -q "${zips[0]}")
  mv "$(dirname "$(find "$out/unzipped" -name ZVPA_LORVANI_10.dll)")" "$1"
}

case $mode in
hardening)
  python3 "$here/pe_hardening.py" "$prefix-" "$build/src/ZVPA_LORVANI_10.dll" "$build/src/ZVPA_LORVANI_10.dll.debug"
  python3 "$here/pe_hardening.py" "$prefix-" "$build/tools/win32-host/zvpa-win32-host.exe"
  ;;
signature)
  command -v osslsigncode >/dev/null || skip "no osslsigncode (scripts/install-deps --windows)"
  # A throw-away certificate authority, the code-signing certificate and the time-stamp
  # server's certificate it issues.
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" -days 2 -subj "/CN=ZV kit test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  issue() { # NAME EXTENDED-KEY-USAGE
    openssl req -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.csr" -subj "/CN=ZV kit test $1" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$2" >"$work/$1.ext"
    openssl x509 -req -in "$work/$1.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
      -extfile "$work/$1.ext" -out "$work/$1.pem" 2>/dev/null
  }
  issue signer codeSigning
  issue tsa critical,timeStamping
  mkdir -p "$work/tsa"
  python3 "$here/tsa_server.py" "$work/tsa" "$work/tsa.pem" "$work/tsa.key" &
  tsa_pid=$!
  for _ in $(seq 1 300); do [[ -s $work/tsa/url ]] && break; sleep 0.1; done
  [[ -s $work/tsa/url ]] || fail "the time-stamp server did not start"
  ZV_SIGN_KEY=$work/signer.key ZV_SIGN_CERT=$work/signer.pem ZV_SIGN_TIMESTAMP_URL=$(cat "$work/tsa/url") \
    make_kit "$work/signed"
  make_kit "$work/unsigned"
  for image in ZVPA_LORVANI_10.dll zvpa-win32-host.exe; do
    verified=$(osslsigncode verify -CAfile "$work/ca.pem" -TSA-CAfile "$work/ca.pem" -in "$work/signed/$image" 2>&1) ||
      fail "$image: the signature does not verify: $verified"
    grep -q "SHA256" <<<"$verified" || fail "$image: not signed with SHA-256: $verified"
    grep -q "Timestamp Server Signature verification: ok" <<<"$verified" || fail "$image: no valid time stamp: $verified"
    ! osslsigncode verify -CAfile "$work/ca.pem" -in "$work/unsigned/$image" >"$work/unsigned.log" 2>&1 ||
      fail "$image is signed in a kit made without a key"
    # One byte of the code changed after signing.
    offset=$(("0x$("$prefix-objdump" -h "$work/signed/$image" | awk '$2 == ".text" { print $6 }')" + 64))
    cp "$work/signed/$image" "$work/changed-$image"
    printf '\xcc' | dd of="$work/changed-$image" bs=1 seek="$offset" conv=notrunc status=none
    ! cmp -s "$work/signed/$image" "$work/changed-$image" || fail "the byte at $offset was 0xcc already"
    ! osslsigncode verify -CAfile "$work/ca.pem" -in "$work/changed-$image" >"$work/changed.log" 2>&1 &&
      grep -q MISMATCH "$work/changed.log" ||
      fail "$image verifies after a byte of it was changed"
    echo "ok $image: signed (SHA-256) and time-stamped, verified against the CA; unsigned without a key;" \
      "a changed byte fails"
  done
  ;;
header)
  for language in c c++; do
    if [[ $language == c ]]; then compiler=$prefix-gcc-posix std=-std=c11; else compiler=$prefix-g++-posix std=-std=c++17; fi
    for order in ZV_WINDOWS_FIRST ZV_WINDOWS_AFTER; do
      "$compiler" -x "$language" $std -Wall -Wextra -Werror -pedantic -D$order -I"$source/include" \
        -c "$here/header_use.c" -o "$work/header.o" || fail "$language with $order"
      echo "ok $language, $order"
    done
  done
  [[ -n $clang ]] || skip "no clang for Microsoft's mode"
  for language in c c++; do
    "$clang" --target="$msvc_target" -x "$language" -fms-extensions -Wall -Wextra -Werror -I"$source/include" \
      -c "$here/header_use.c" -o "$work/header.obj" || fail "$language in Microsoft's mode"
    echo "ok $language, Microsoft's mode"
  done
  ;;
link)
  kit=$work/kit
  mkdir -p "$kit"
  cp "$source/include/ZVPA_LORVANI_10.h" "$build/src/libZVPA_LORVANI_10.dll.a" "$kit/"
  [[ -f $build/src/ZVPA_LORVANI_10.lib ]] && cp "$build/src/ZVPA_LORVANI_10.lib" "$kit/"
  link_hosts "$kit" "$work"
  echo "ok the host links with MinGW's and Microsoft's import library"
  ;;
resources)
  dll=$build/src/ZVPA_LORVANI_10.dll
  rc=$("$prefix-windres" -J coff -O rc -i "$dll") || fail "windres cannot read $dll"
  history=$source/resources/VersionHistory.rc
  version=$(sed -n 's/.*"\$VERSION=\([^"]*\)".*/\1/p' "$history" | tail -n 1)
  major=${version%%.*} minor=$((10#${version#*.}))
  for expected in "FILEVERSION $major, $minor, 0, 0" "PRODUCTVERSION $major, $minor, 0, 0" \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    "VALUE \"CompanyName\", \"ZV Payment Systems\"" \
    "VALUE \"FileDescription\", \"$(sed -n 's/.*"\$APPDESCRIPTION=\([^"]*\)".*/\1/p' "$history")\"" \
    "VALUE \"OriginalFilename\", \"ZVPA_LORVANI_10.dll\"" "FILETYPE 0x2"; do
    grep -qF "$expected" <<<"$rc" || fail "the version resource lacks '$expected': $(sed -n '/VERSIONINFO/,$p' <<<"$rc")"
  done
  echo "ok the version resource is $version"
  # Stripped, with the debug information beside it under the name the DLL gives.
  sections=$("$prefix-objdump" -h "$dll")
  ! grep -q '\.debug_' <<<"$sections" || fail "the DLL carries debug sections"
  grep -q '\.gnu_debuglink' <<<"$sections" || fail "the DLL names no debug file"
  "$prefix-objcopy" --dump-section .gnu_debuglink="$work/link" "$dll" "$work/copy.dll"
  python3 - "$work/link" "$build/src" <<'PY' || fail "the debug link does not match ZVPA_LORVANI_10.dll.debug"
import sys, zlib, struct, os
data = open(sys.argv[1], "rb").read()
name = data[:data.index(b"\0")].decode()
crc = struct.unpack("<I", data[-4:])[0]
debug = os.path.join(sys.argv[2], name)
assert name == "ZVPA_LORVANI_10.dll.debug", name
assert zlib.crc32(open(debug, "rb").read()) == crc, "checksum"
PY
  "$prefix-objdump" -h "$build/src/ZVPA_LORVANI_10.dll.debug" | grep -q '\.debug_info' ||
    fail "ZVPA_LORVANI_10.dll.debug holds no debug information"
  echo "ok stripped ($(stat -c %s "$dll") bytes), debug information in ZVPA_LORVANI_10.dll.debug"
  ;;
package)
  make_kit "$work/kit"
  kit=$work/kit
  for file in ZVPA_LORVANI_10.dll ZVPA_LORVANI_10.dll.debug ZVPA_LORVANI_10.h libZVPA_LORVANI_10.dll.a \
    ZVPA_LORVANI_10.lib ZVPA_LORVANI_10.def zvpa-win32-host.exe README-Windows.txt ZVPA_LORVANI_10.cdx.json \
    THIRD-PARTY-NOTICES.txt ZVPA_LORVANI_10.cs SampleHost.cs; do
    [[ -f $kit/$file ]] || fail "$file is not in the zip: $(cd "$kit" && find . -type f)"
  done
  # shellcheck disable=SC2046
  node "$source/tests/support/sbom_check.mjs" "$kit/ZVPA_LORVANI_10.cdx.json" $(for image in ZVPA_LORVANI_10.dll \
    zvpa-win32-host.exe; do "$prefix-objdump" -p "$kit/$image" | sed -n 's/.*DLL Name: //p'; done |
    grep -vix ZVPA_LORVANI_10.dll | sort -u) || fail "the zip's bill of materials"
  for notice in "^pugixml [0-9]" "^mingw-w64-${arch//_/-}-dev (winpthreads) " "^gcc-mingw-w64-${arch//_/-}-posix "; do
    grep -q "$notice" "$kit/THIRD-PARTY-NOTICES.txt" || fail "THIRD-PARTY-NOTICES.txt has no notice '$notice'"
  done
  echo "ok the zip's bill of materials and licence notices"
  # The C# files compile as a 32-bit Windows program, as README-Windows.txt shows (Mono's
  # compiler; no .NET runtime runs under Wine here: the Linux suite runs them with Mono).
  mcs -warnaserror -platform:x86 -out:"$work/SampleHost.exe" "$kit/SampleHost.cs" "$kit/ZVPA_LORVANI_10.cs" ||
    fail "the zip's C# sample host does not compile"
  echo "ok the zip's C# declarations and sample host compile for x86"
  # Only what the zip holds from here on.
  hosts=$work/hosts
  mkdir -p "$hosts"
  link_hosts "$kit" "$hosts"
  echo "ok the zip's import libraries link the host"
  [[ ${#emulator[@]} -gt 0 ]] || skip "no Wine to run the host"
  [[ -n ${ZV_LORVANI_SIM:-} && -x ${ZV_LORVANI_SIM:-} ]] || skip "no lorvani-sim (ZV_LORVANI_SIM)"
  "$ZV_LORVANI_SIM" --port 0 --ca-out "$work/ca.pem" --token kit-token --quiet >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 1 100); do [[ -s $work/sim.out ]] && break; sleep 0.1; done
  url=$(head -n 1 "$work/sim.out")
  [[ -n $url ]] || fail "lorvani-sim named no URL"
  for linker in mingw msvc; do
    # The host in a folder of its own beside the zip's DLL; a file named LogFiles there
    # stands for a folder the host cannot write to (the tests may run as root).
    run=$work/run-$linker
    mkdir -p "$run"
    cp "$hosts/kit-host-$linker.exe" "$kit/ZVPA_LORVANI_10.dll" "$run/"
    : >"$run/LogFiles"
    output=$(cd "$run" && ZV_KIT_URL=$url ZV_KIT_BEARER=kit-token ZV_KIT_CA="Z:${work//\//\\}\\ca.pem" \
      ZV_LOG_DIR="Z:${work//\//\\}\\logs-$linker" WINEDEBUG=-all "${emulator[@]}" "$run/kit-host-$linker.exe" 2>&1) ||
      fail "the $linker-linked host failed: $output"
    echo "$output" | tr -d '\r' | sed "s/^/  $linker: /"
    grep -q "^PAY=0" <<<"$output" || fail "no payment: $output"
    grep -q "^FileVersion=$(sed -n 's/.*"\$VERSION=\([^"]*\)".*/\1/p' "$source/resources/VersionHistory.rc" | tail -n 1)" \
      <<<"$(tr -d '\r' <<<"$output")" || fail "GetFileVersionInfoW read no FileVersion: $output"
    ls "$work/logs-$linker"/LogFiles/Payment/ZVPA_LORVANI_10_Kit_*.log >/dev/null 2>&1 ||
      fail "no device log below ZV_LOG_DIR: $(find "$work/logs-$linker" 2>/dev/null)"
  done
  echo "ok the hosts linked from the zip pay under Wine, their logs below ZV_LOG_DIR"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
