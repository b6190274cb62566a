#!/bin/sh
# Installs what is needed, builds the optimised configuration and runs the
# demo: the bundled recording (or the one given) through the whole pipeline
# to out/depth.png, out/gray.png and out/cloud.ply, with a summary.
#   scripts/demo.sh [recording.raw] [-o DIR]
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target pylox-cli
build/release/tools/pylox demo "$@"
