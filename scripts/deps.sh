#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# OpenCV and OpenNI2 serve only the tests and benchmarks, as outside oracles.
# Idempotent; works as root on a fresh machine without standard input.
set -eu
PKGS="build-essential cmake ninja-build pkg-config git
libusb-1.0-0-dev libzip-dev libhwy-dev
googletest libgtest-dev libgmock-dev libbenchmark-dev
umockdev libumockdev-dev
clang libclang-rt-dev
libcli11-dev libpng-dev
libopencv-imgproc-dev libopencv-calib3d-dev libopenni2-dev
pybind11-dev python3-dev python3-numpy"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  echo "installing:$missing"
  $SUDO apt-get update </dev/null
  $SUDO apt-get install -y --no-install-recommends $missing </dev/null
fi
