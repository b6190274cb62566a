#!/bin/sh
# Installs what is needed, builds the debug configuration and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
ctest --preset default -j "$(nproc)"
