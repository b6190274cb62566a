#!/bin/sh
# Installs into a scratch prefix and runs the installed pylox as a new user
# would: version, the bundled sample replayed, the udev rules in place, and
# the demo when this build has the frame products.
set -eu
build="$1"; work="$2"; decode="${3:-decode}"
rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
bin="$work/prefix/bin/pylox"
sample="$work/prefix/share/pylox/samples/vcam_box_e2.raw"
[ -x "$bin" ] || { echo "pylox not installed"; exit 1; }
[ -f "$sample" ] || { echo "sample not installed"; exit 1; }
[ -f "$work/prefix/share/pylox/udev/60-pylox.rules" ] || { echo "udev rules not installed"; exit 1; }
"$bin" --version | grep -q '^pylox [0-9]' || { echo "no version"; exit 1; }
out=$("$bin" --replay "$sample" stream)
echo "$out" | grep -q 'frames 4  dropped 0' || { echo "stream printed: $out"; exit 1; }
cd "$work"
if [ "$decode" = decode ]; then
  out=$("$bin" demo 2>&1) || { echo "demo failed: $out"; exit 1; }
  for f in out/depth.png out/gray.png out/cloud.ply; do
    [ -s "$f" ] || { echo "demo wrote no $f"; exit 1; }
  done
else
  # Without the driver's depth decoding the demo ends in one clear line.
  if out=$("$bin" demo 2>&1 >/dev/null); then echo "demo passed without decoding"; exit 1; fi
  [ "$(echo "$out" | wc -l)" -eq 1 ] && echo "$out" | grep -q '^pylox: ' ||
    { echo "demo failed unclearly: $out"; exit 1; }
fi
echo "installed tool ok"
