#!/bin/sh
# Builds one libFuzzer target with the fuzz preset in its own folder, writes
# its seed inputs (with the inputs kept in tests/fuzz/corpus/<name>) and runs
# the target for a fixed number of seconds.
# usage: run_fuzz.sh <source dir> <build dir> <seed writer> <target> <seconds>
set -eu
src=$1
build=$2
seed_writer=$3
target=$4
seconds=$5

cmake -S "$src" -B "$build" --preset fuzz >"$build.configure.log" 2>&1 || {
  cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target "$target" -j 2 >"$build.build.log" 2>&1 || {
  tail -n 60 "$build.build.log"; exit 1; }

work="$build/run-$target"
rm -rf "$work"
mkdir -p "$work/seeds" "$work/corpus"
"$seed_writer" "$work/seeds" "$target"
# Inputs that once found a fault stay in the corpus of their target.
kept="$src/tests/fuzz/corpus/${target#fuzz_}"
if [ -d "$kept" ]; then
  cp "$kept"/* "$work/seeds/"
fi

# Findings (crash-*, leak-*, timeout-*) land in the work folder.
cd "$work"
status=0
"$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
  -max_len=16384 -print_final_stats=1 corpus seeds >fuzz.log 2>&1 || status=$?
if [ "$status" -eq 0 ]; then
  grep -e 'INITED' -e '^Done' -e '^stat::' fuzz.log
else
  tail -n 80 fuzz.log
fi
exit "$status"
