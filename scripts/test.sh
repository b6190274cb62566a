#!/bin/sh
# Installs what is needed, builds the debug configuration and runs every test
# but the 10-minute soak (label soak; its 60 s form runs); then runs the tests
# labelled threads once more under ThreadSanitizer. The four-camera test runs
# in the release build.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
ctest --preset default -j "$(nproc)" -LE soak

# Four cameras at once need an optimised build (label multicam).
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target test_multi_camera
ctest --preset release -L multicam

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)"
ctest --preset tsan -j "$(nproc)" -L threads -LE 'slow|fuzz'
