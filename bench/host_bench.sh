#!/usr/bin/env bash
# Script host benchmark (not a timed test).
#
#   bench/host_bench.sh [BUILD_DIR] [RUNS] [LOOP_RUNS] [ROUNDS]
#
# BUILD_DIR holds bin/tessary-run and lib/libtessary.so (default: build, a
# release build; sanitizer builds measure the sanitizer). RUNS is the number
# of start-ups timed per program (default 20); LOOP_RUNS the number of times
# the loops run, each loop reporting its median (default 3); ROUNDS the
# number of rounds of the three loops in one run, each loop keeping its best
# (default 5). Prints one line
# per measure:
#
#   name value unit ratio-to-baseline
#
#   startup_python3          start-up of `/usr/bin/python3 -c pass` (baseline)
#   startup_empty_script     start-up of tessary-run on an empty script
#   loop_plain_function      100,000 calls of a plain script function (baseline)
#   loop_property_get        100,000 property gets on an automation object
#   loop_method_call         100,000 method calls with one string argument
#
# Start-ups are timed with hyperfine when it is installed, else with a shell
# loop; the loops are timed inside the script with Date.
set -euo pipefail

build=${1:-build}
runs=${2:-20}
loop_runs=${3:-3}
rounds=${4:-5}
run="$build/bin/tessary-run"
module="$build/lib/libtessary.so"
python=/usr/bin/python3
for f in "$run" "$module"; do
  [[ -e $f ]] || { echo "host_bench: $f not found (build first, or pass BUILD_DIR)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TESSARY_REGISTRY="$work/registry.reg"
"$run" --register "$module"
: > "$work/empty.js"

# Mean wall time of a command in milliseconds over $runs runs.
mean_ms() {
  if command -v hyperfine > /dev/null; then
    hyperfine --style none --warmup 3 --runs "$runs" --export-json "$work/h.json" "$*" > /dev/null
    "$python" -c 'import json,sys; print("%.2f" % (json.load(open(sys.argv[1]))["results"][0]["mean"] * 1000))' "$work/h.json"
  else
    "$@" > /dev/null 2>&1 || true  # warm the caches
    local start end
    start=$(date +%s%N)
    for ((i = 0; i < runs; ++i)); do "$@" > /dev/null 2>&1; done
    end=$(date +%s%N)
    awk -v ns=$((end - start)) -v n="$runs" 'BEGIN { printf "%.2f\n", ns / n / 1e6 }'
  fi
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf (b > 0 ? "%.2f" : "n/a"), (b > 0 ? a / b : 0) }'; }

python_ms=$(mean_ms "$python" -c pass)
empty_ms=$(mean_ms "$run" "$work/empty.js")

echo "var ROUNDS = $rounds;" > "$work/loops.js"
cat >> "$work/loops.js" << 'EOF'
var N = 100000;
var root = new ActiveXObject("Quennel.Tessary");
// The cheapest property the object model answers today: a folder's path.
var object = root.GetFolder(".");
var value;
function plain() { return "C:\\bench"; }

function time(body) {
  var start = new Date().getTime();
  body();
  return new Date().getTime() - start;
}

// The three loops take turns, each keeping its best round: on a machine
// other work shares, a round the scheduler interrupted says nothing about
// the loop, and taking turns gives each loop the same conditions.
var plain_ms = Infinity, get_ms = Infinity, call_ms = Infinity;
for (var round = 0; round < ROUNDS; ++round) {
  plain_ms = Math.min(plain_ms, time(function () { for (var i = 0; i < N; ++i) value = plain(); }));
  get_ms = Math.min(get_ms, time(function () { for (var i = 0; i < N; ++i) value = object.Path; }));
  call_ms = Math.min(call_ms, time(function () { for (var i = 0; i < N; ++i) value = root.GetFileName("C:\\a\\b.txt"); }));
}
WScript.Echo(plain_ms, get_ms, call_ms);
EOF
for ((i = 0; i < loop_runs; ++i)); do "$run" "$work/loops.js"; done > "$work/loops.txt"
# Median of column $1 of the loop runs.
median() { sort -n -k "$1,$1" "$work/loops.txt" | awk -v c="$1" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'; }
plain_ms=$(median 1)
get_ms=$(median 2)
call_ms=$(median 3)

echo "startup_python3 $python_ms ms 1.00"
echo "startup_empty_script $empty_ms ms $(ratio "$empty_ms" "$python_ms")"
echo "loop_plain_function $plain_ms ms 1.00"
echo "loop_property_get $get_ms ms $(ratio "$get_ms" "$plain_ms")"
echo "loop_method_call $call_ms ms $(ratio "$call_ms" "$plain_ms")"
