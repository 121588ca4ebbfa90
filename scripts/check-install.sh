#!/usr/bin/env bash
# Checks what an installation holds and that hosts can build against it:
#   1. the plain (static) build installed into a scratch prefix: the example host builds and runs
#      through the CMake package and through pkg-config, and the poll() host prints an answer;
#   2. a distribution-style shared build (prefix /usr, multiarch libdir, DESTDIR staging): the
#      folders pkg-config names, the SONAME, no exported detail symbol, the public headers in their
#      folders and no detail/ header, the tools and their man pages, and the example host (which
#      sets no C++ standard of its own) built through the CMake package and run against the
#      staged shared library.
# Only the library, the tools and their pages are built for (2), not the tests.
set -euo pipefail
build="${1:-build}"
fail() { echo "check-install: $*" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
run_host() { HOME="$work" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work" "$@"; }

# 1. Static, private prefix.
prefix="$(pwd)/$build/install-check"
rm -rf "$prefix" "$build/example" "$build/poll-host"
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S examples/host -B "$build/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$build/example" >/dev/null
run_host "$build"/example/example-host >/dev/null
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" c++ -std=c++20 examples/host/main.cpp \
  -o "$build"/example/example-host-pc $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs brisvane)
run_host "$build"/example/example-host-pc >/dev/null
cmake -S examples/poll_host -B "$build/poll-host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$build/poll-host" >/dev/null
answer="$(run_host "$build"/poll-host/poll-host </dev/null)"
[[ "$answer" == "real-time protection is "* ]] || fail "the poll() host printed no answer: '$answer'"
echo "static: the example hosts build and run against the installed package (CMake and pkg-config)"

# 2. Shared, the way a distribution packages it.
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)"
libdir="lib/$multiarch"
dist="$(pwd)/$build/dist-build"
root="$(pwd)/$build/dist-root"
rm -rf "$root" "$build/dist-example"
cmake -S . -B "$dist" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="$libdir" >/dev/null
cmake --build "$dist" -j"${JOBS:-2}" >/dev/null
DESTDIR="$root" cmake --install "$dist" >/dev/null

pc_dir="$root/usr/$libdir/pkgconfig"
[[ -f "$pc_dir/brisvane.pc" ]] || fail "no brisvane.pc in /usr/$libdir/pkgconfig"
for pair in "prefix=/usr" "libdir=/usr/$libdir" "includedir=/usr/include/brisvane"; do
  name="${pair%%=*}" want="${pair#*=}"
  got="$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable="$name" brisvane)"
  [[ "$got" == "$want" ]] || fail "pkg-config $name is '$got', expected '$want'"
done
[[ -f "$root/usr/include/brisvane/BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h" ]] ||
  fail "the service header is not under /usr/include/brisvane"
# One folder per concern below the service, each installed as include/brisvane/<folder>/.
for header in runtime/main_loop.h runtime/runtime_mutex.h reactive/subjects.h reactive/publisher_chain.h \
              keychain/keychain.h keychain/os_status_error.h notifications/distributed_notification_center.h \
              metadata/metadata_query.h; do
  [[ -f "$root/usr/include/brisvane/$header" ]] || fail "$header is not installed under /usr/include/brisvane"
done

library="$root/usr/$libdir/libbrisvane.so.1"
[[ -f "$library" && -L "$root/usr/$libdir/libbrisvane.so" ]] || fail "no libbrisvane.so.1 and link in /usr/$libdir"
soname="$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')"
[[ "$soname" == "libbrisvane.so.1" ]] || fail "SONAME is '$soname', expected libbrisvane.so.1"
# Our detail namespaces, also inside template arguments; the standard library's own __detail is not ours.
exported="$(nm -D --defined-only -C "$library" | sed 's/__detail:://g' | grep 'detail::' || true)"
[[ -z "$exported" ]] || fail "the shared library exports detail symbols:"$'\n'"$(head -5 <<<"$exported")"
headers="$(find "$root" -path '*/detail/*')"
[[ -z "$headers" ]] || fail "detail/ headers are installed: $headers"

for tool in brisvane-state brisvane-settings; do
  [[ -x "$root/usr/bin/$tool" ]] || fail "$tool is not installed in /usr/bin"
  page="$root/usr/share/man/man1/$tool.1"
  [[ -f "$page" ]] || fail "no man page $tool.1 in /usr/share/man/man1"
  grep -q '^\.SH NAME' "$page" || fail "$tool.1 has no NAME section"
done

cmake -S examples/host -B "$build/dist-example" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$build/dist-example" >/dev/null
host="$build/dist-example/example-host"
# ldd's output is taken whole first: grep -q stops reading at the first match, and under pipefail
# the SIGPIPE that ldd may then get would fail the check about every other run.
loaded="$(ldd "$host")"
grep -q "libbrisvane.so.1 => $root/usr/$libdir/libbrisvane.so.1" <<<"$loaded" ||
  fail "the example host does not load the staged shared library: $(grep brisvane <<<"$loaded")"
run_host "$host" >/dev/null
echo "shared: /usr/$libdir install checked (pkg-config, SONAME $soname, exports, headers, tools, man pages);" \
     "the example host builds through the CMake package without a C++ standard of its own and runs"
