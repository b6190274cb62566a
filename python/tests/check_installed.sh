#!/bin/sh
# Installs into a scratch prefix and runs the example script with the
# installed module only (no build tree on PYTHONPATH or LD_LIBRARY_PATH).
set -eu
build="$1"; work="$2"; python="$3"; pydir="$4"; sample="$5"
rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
[ -n "$(find "$work/prefix/$pydir" -name 'pylox*.so')" ] || { echo "module not installed"; exit 1; }
cp "$(dirname "$0")/../examples/stream.py" "$work/"
cd "$work"
out=$(env -u LD_LIBRARY_PATH PYTHONPATH="$work/prefix/$pydir" "$python" stream.py "$sample")
echo "$out"
echo "$out" | grep -q "centre 1.6" || { echo "unexpected output"; exit 1; }
echo "installed module ok"
