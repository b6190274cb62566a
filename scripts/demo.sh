#!/bin/sh
# Installs what is needed, builds the optimised configuration and runs the demo.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target pylox-demo
build/release/tools/pylox-demo "$@"
