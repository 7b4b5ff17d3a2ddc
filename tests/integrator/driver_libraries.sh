#!/usr/bin/env bash
# The driver links only what the payment path needs: no printing or display library is
# named by it (readelf -d) or loaded beneath it (ldd); those are the printing module's.
# $1: the driver, $2: the printing module.
set -euo pipefail
driver=$1
module=$2
fail() { echo "FAILED: $*" >&2; exit 1; }
printing='cups|cairo|pixman|png|fontconfig|freetype|X11|Xext|Xrender|xcb|avahi|dbus'

needed=$(readelf -d "$driver" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
[[ -n "$needed" ]] || fail "readelf shows no NEEDED entry of $driver"
if grep -Ei "$printing" <<<"$needed"; then fail "the driver names printing libraries: $(tr '\n' ' ' <<<"$needed")"; fi
grep -q "libcurl" <<<"$needed" || fail "the driver does not name libcurl: $(tr '\n' ' ' <<<"$needed")"

loaded=$(ldd "$driver" | awk '{print $1}')
if grep -Ei "$printing" <<<"$loaded"; then fail "loading the driver loads printing libraries"; fi
# The same look at the module finds them, so the patterns do see what they look for.
module_loaded=$(ldd "$module" | awk '{print $1}')
for library in libcups libcairo libpixman libpng libfontconfig; do
  grep -q "^$library" <<<"$module_loaded" || fail "the printing module does not load $library: $module_loaded"
done
echo "driver-libraries: $(wc -l <<<"$loaded") libraries beneath the driver, none for printing"
