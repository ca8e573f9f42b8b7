#!/usr/bin/env bash
# Streams through the script host, each beside a baseline from the same run
# (not a timed test).
#
#   bench/streams_bench.sh [BUILD_DIR]
#
#   ReadLine.200MiB   a script reading 200 MiB of CRLF lines with ReadLine,
#                     beside the same loop with a property get in place of
#                     ReadLine (the host's own cost per call); lines per
#                     second follow on a second line
#   Read64K.512MiB    a script reading 512 MiB with BinaryStream.Read in
#                     64 KiB pieces, beside cat of the same file
#
# Prints `name value unit baseline value unit ratio` lines; the script
# figures exclude the host's start-up.
set -euo pipefail

build=${1:-build}
run="$build/bin/tessary-run"
module="$build/lib/libtessary.so"
for f in "$run" "$module"; do
  [[ -e $f ]] || { echo "streams_bench: $f not found (build first, or pass BUILD_DIR)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-streams-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TESSARY_REGISTRY="$work/registry.reg"
"$run" --register "$module" > /dev/null

# Windows name of a host path (C: is "/" without a drive mapping), with the
# backslashes doubled for a script string.
win() {
  local p="C:$1"
  p=${p//\//\\\\}
  echo "$p"
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }
time_ms() {
  local start end
  start=$(now_ms)
  "$@" > /dev/null
  end=$(now_ms)
  echo $((end - start))
}
report() {
  awk -v n="$1" -v a="$2" -v u="$3" -v bn="$4" -v b="$5" -v bu="$6" \
    'BEGIN { printf "%-16s %8d %-3s %-20s %8d %-3s ratio %.2f\n", n, a, u, bn, b, bu, (b > 0 ? a / b : 0) }'
}

/usr/bin/python3 - "$work" << 'EOF'
import os, random, sys
work = sys.argv[1]
random.seed(42)
with open(os.path.join(work, "lines.txt"), "wb") as f:
    written = 0
    while written < 200 << 20:
        line = bytes([97 + random.randrange(26)]) * (10 + random.randrange(121)) + b"\r\n"
        f.write(line)
        written += len(line)
block = os.urandom(1 << 20)
with open(os.path.join(work, "binary.bin"), "wb") as f:
    for _ in range(512):
        f.write(block)
EOF
cat "$work/lines.txt" "$work/binary.bin" > /dev/null  # both sides read from the page cache

cat > "$work/readline.js" << EOF
var fso = new ActiveXObject("Quennel.Tessary");
var t = fso.OpenTextFile("$(win "$work/lines.txt")");
var n = 0, line;
var start = new Date().getTime();
while (!t.AtEndOfStream) { line = t.ReadLine(); ++n; }
var read_ms = new Date().getTime() - start;
t.Close();
t = fso.OpenTextFile("$(win "$work/lines.txt")");
start = new Date().getTime();
for (var i = 0; i < n; ++i) { if (!t.AtEndOfStream) line = t.Line; }
var floor_ms = new Date().getTime() - start;
WScript.Echo(n, read_ms, floor_ms);
EOF
read -r lines read_ms floor_ms < <("$run" "$work/readline.js")
report ReadLine.200MiB "$read_ms" ms "same loop, Line get" "$floor_ms" ms
echo "  $lines lines: $((lines * 1000 / (read_ms > 0 ? read_ms : 1))) lines/s read," \
  "$((lines * 1000 / (floor_ms > 0 ? floor_ms : 1))) loops/s with a property get"

cat > "$work/read64k.js" << EOF
var fso = new ActiveXObject("Quennel.Tessary");
var b = fso.OpenBinaryFile("$(win "$work/binary.bin")");
var start = new Date().getTime();
while (!b.AtEndOfStream) b.Read(65536);
WScript.Echo(new Date().getTime() - start);
EOF
ours=$("$run" "$work/read64k.js")
base=$(time_ms cat "$work/binary.bin")
report Read64K.512MiB "$ours" ms cat "$base" ms
