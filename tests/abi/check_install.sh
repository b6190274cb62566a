#!/bin/sh
# Installs into a scratch prefix and builds a two-line C program against it,
# once through pkg-config and once through find_package(pylox).
set -eu
build="$1"; work="$2"; src="$3"
rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
pc=$(find "$work/prefix" -name pylox.pc | head -n 1)
[ -n "$pc" ] || { echo "pylox.pc not installed"; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc")"
cc -std=c99 -pedantic -Wall -o "$work/hello" "$src/c99_header.c" $(pkg-config --cflags --libs pylox)
libdir=$(pkg-config --variable=libdir pylox)
out=$(LD_LIBRARY_PATH="$libdir" "$work/hello")
[ "$out" = "PYLOX_ERR_CAP_UNKNOWN" ] || { echo "pkg-config program printed: $out"; exit 1; }

mkdir -p "$work/pkg"
cat > "$work/pkg/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.22)
project(hello C)
find_package(pylox REQUIRED)
add_executable(hello hello.c)
target_link_libraries(hello PRIVATE pylox::pylox)
CM
cp "$src/c99_header.c" "$work/pkg/hello.c"
cmake -S "$work/pkg" -B "$work/pkg/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/pkg/build" >/dev/null
out=$(LD_LIBRARY_PATH="$libdir" "$work/pkg/build/hello")
[ "$out" = "PYLOX_ERR_CAP_UNKNOWN" ] || { echo "find_package program printed: $out"; exit 1; }
# The header-only C++ layer is installed beside the C headers and builds as C++17.
[ -f "$(pkg-config --variable=includedir pylox)/pylox/pylox.hpp" ] || { echo "pylox.hpp not installed"; exit 1; }
printf '#include <pylox/pylox.hpp>\nint main() { return pylox::frame_time_us(pylox_frame_info_t{}) == 0 ? 0 : 1; }\n' > "$work/hello.cpp"
c++ -std=c++17 -Wall -Werror -o "$work/hello_cpp" "$work/hello.cpp" $(pkg-config --cflags --libs pylox)
LD_LIBRARY_PATH="$libdir" "$work/hello_cpp" || { echo "C++17 program failed"; exit 1; }
echo "install ok"
