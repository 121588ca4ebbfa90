#!/usr/bin/env bash
# Installs the plain build into a scratch prefix and builds the example host against it, once
# through the CMake package and once through pkg-config.
set -euo pipefail
build="${1:-build}"
prefix="$(pwd)/$build/install-check"
rm -rf "$prefix" "$build/example"
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S examples/host -B "$build/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$build/example"
work="$(mktemp -d)"
HOME="$work" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work" "$build"/example/example-host
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" c++ examples/host/main.cpp -o "$build"/example/example-host-pc \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs brisvane)
HOME="$work" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work" "$build"/example/example-host-pc >/dev/null
rm -rf "$work"
echo "example host builds and runs against the installed package (CMake and pkg-config)"
