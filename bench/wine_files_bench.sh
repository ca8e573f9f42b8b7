#!/usr/bin/env bash
# Files.Count of a folder of 3,000 files through the Windows DLL under Wine's
# cscript, beside the system's own file-system object (Wine's
# Scripting.FileSystemObject) doing the same in the same script run. Not a
# timed test; runs only where wine is installed and the x64 DLL is built.
#
#   bench/wine_files_bench.sh [BUILD_DIR] [FILES] [LISTINGS]
#
# BUILD_DIR is the Linux build folder tools/bench passes; the DLL is taken
# from build-win64/ beside it. Each figure is the total of LISTINGS listings
# (default 5), the best of three rounds in one process, so that the engine's
# and the DLL's start-up stay out. Prints `name value unit baseline value unit
# ratio` as the other benchmark scripts do. TESSARY_WINE_DLL names another
# build of the DLL to measure instead (a variant made to find where the time
# goes).
set -euo pipefail
cd "$(dirname "$0")/.."

files=${2:-3000}
listings=${3:-5}
dll=${TESSARY_WINE_DLL:-$PWD/build-win64/bin/tessary.dll}
if ! command -v wine >/dev/null 2>&1; then
  echo "wine_files_bench: wine is not installed; skipped"
  exit 0
fi
if [[ ! -f $dll ]]; then
  echo "wine_files_bench: $dll not found (cmake --build --preset win64); skipped"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-wine-bench-XXXXXX")
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Debian's `wine` takes the 32-bit loader whenever wine32 is installed; the
# x64 DLL needs the 64-bit one.
wine=wine
if [[ -x /usr/lib/wine/wine64 ]]; then
  wine=/usr/lib/wine/wine64
  export WINELOADER=$wine
fi
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

timeout -k 5 240 "$wine" wineboot -i </dev/null >"$work/wineboot.log" 2>&1
install=$WINEPREFIX/drive_c/bench
mkdir -p "$install/folder"
cp "$dll" "$install/tessary.dll"
timeout -k 5 60 "$wine" regsvr32 /s 'C:\bench\tessary.dll' </dev/null
(cd "$install/folder" && seq -f 'file%05g.txt' 1 "$files" | xargs touch)

cat >"$install/files.js" <<EOF
var folder = "C:\\\\bench\\\\folder";
function best(make) {
  var best_ms = -1, count = 0;
  for (var round = 0; round < 3; ++round) {
    var start = new Date().getTime();
    for (var i = 0; i < $listings; ++i) count = make().GetFolder(folder).Files.Count;
    var ms = new Date().getTime() - start;
    if (best_ms < 0 || ms < best_ms) best_ms = ms;
  }
  return [best_ms, count];
}
var root = new ActiveXObject("Quennel.Tessary");
var fso = new ActiveXObject("Scripting.FileSystemObject");
var ours = best(function () { return root; });
var theirs = best(function () { return fso; });
WScript.Echo(ours[0] + " " + ours[1] + " " + theirs[0] + " " + theirs[1]);
EOF
read -r ours ours_count theirs theirs_count < <(timeout -k 5 600 "$wine" cscript //nologo \
  'C:\bench\files.js' </dev/null | tr -d '\r')
if [[ $ours_count != "$files" || $theirs_count != "$files" ]]; then
  echo "wine_files_bench: counted $ours_count and $theirs_count files, expected $files" >&2
  exit 1
fi
awk -v n="Files.Count.wine.${files}x$listings" -v a="$ours" -v bn="FileSystemObject" -v b="$theirs" \
  'BEGIN { printf "%-22s %8d ms   %-10s %8d ms   ratio %.2f\n", n, a, bn, b, (b > 0 ? a / b : 0) }'

# The same listings made by a plain program with no objects: the search
# alone, and the search with the probe of each file (read ahead and probed
# as the listing does). The second over the standard object's whole listing
# is the part of the ratio that is the search and the probe, and the rest is
# the objects. Only for the DLL of build-win64/, where the program is built
# too.
[[ -z ${TESSARY_WINE_DLL:-} ]] || exit 0
cmake --build build-win64 --target wine_listing_parts >/dev/null
cp build-win64/bin/wine_listing_parts.exe "$install/"
read -r walk probed parts_count < <(timeout -k 5 300 "$wine" 'C:\bench\wine_listing_parts.exe' \
  'C:\bench\folder' "$listings" </dev/null | tr -d '\r')
if [[ $parts_count != "$files" ]]; then
  echo "wine_files_bench: the plain search found $parts_count files, expected $files" >&2
  exit 1
fi
awk -v w="$walk" -v p="$probed" -v b="$theirs" \
  'BEGIN { printf "  of which search alone %.0f ms, search + probe %.0f ms   ratio %.2f over %s ms\n", w, p, (b > 0 ? p / b : 0), b }'
