#!/bin/sh
# Installs what is needed, builds the debug configuration and runs every test
# but the 10-minute soak (label soak; its 60 s form runs); the four-camera test
# runs in the release build. Then runs the quick tests once more under
# AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer, and the tests
# labelled threads under ThreadSanitizer.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs="$(nproc)"

cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs" -LE soak

# Four cameras at once need an optimised build (label multicam).
cmake --preset release
cmake --build --preset release -j "$jobs" --target test_multi_camera
ctest --preset release -L multicam

cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" -LE 'slow|fuzz'

cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs" -L threads -LE 'slow|fuzz'
