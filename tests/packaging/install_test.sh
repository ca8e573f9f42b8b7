#!/usr/bin/env bash
# Installs the build into a staging prefix (DESTDIR) and uses only what was
# installed: the host runs a script against the installed module, registered
# in a scratch store; a program embeds the runtime through pkg-config and
# through find_package(Tessary); man shows the installed manual page.
#
#   tests/packaging/install_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
stage=$work/stage
source "$(dirname "${BASH_SOURCE[0]}")/check.sh"

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
multiarch=$(gcc -print-multiarch)
lib=$stage/usr/lib/$multiarch
module=$lib/tessary/libtessary.so

layout() {
  local f
  for f in usr/bin/tessary-run "usr/lib/$multiarch/libtessary-platform.so.1.0.0" \
           "usr/lib/$multiarch/tessary/libtessary.so" "usr/lib/$multiarch/tessary/tessary-regsvr" \
           usr/include/tessary/platform/automation.h usr/include/tessary/tessary.h \
           "usr/lib/$multiarch/pkgconfig/tessary.pc" \
           "usr/lib/$multiarch/cmake/Tessary/TessaryConfig.cmake" \
           usr/share/man/man1/tessary-run.1.gz usr/share/doc/tessary/examples/tour.js; do
    [ -f "$stage/$f" ] || { echo "missing $f"; return 1; }
  done
  local link
  for link in libtessary-platform.so.1:libtessary-platform.so.1.0.0 \
              libtessary-platform.so:libtessary-platform.so.1; do
    [ "$(readlink "$lib/${link%%:*}")" = "${link#*:}" ] ||
      { echo "${link%%:*} links to '$(readlink "$lib/${link%%:*}")', not ${link#*:}"; ls -l "$lib"; return 1; }
  done
  # Read whole before matching: a grep -q that stops at the match would
  # leave objdump writing into a closed pipe, and pipefail would report it.
  local headers
  headers=$(objdump -p "$lib/libtessary-platform.so.1.0.0")
  grep -q 'SONAME *libtessary-platform.so.1$' <<<"$headers" ||
    { echo "no SONAME libtessary-platform.so.1:"; grep -i soname <<<"$headers"; return 1; }
}
check "FHS layout, SONAME and version links" layout

# Nothing installed may look into the build tree for its libraries.
no_build_paths() {
  local f
  for f in "$stage/usr/bin/tessary-run" "$module" "$lib/tessary/tessary-regsvr" \
           "$lib/libtessary-platform.so.1.0.0"; do
    if objdump -p "$f" | grep -E 'R(UN)?PATH'; then return 1; fi
  done
}
check "no RPATH or RUNPATH in installed binaries" no_build_paths

# The installed programs, with the staged library only on the library path.
run_installed() {
  env -u TESSARY_REGISTRY LD_LIBRARY_PATH="$lib" TESSARY_REGISTRY="$work/registry.reg" "$@"
}
registered() {
  run_installed "$lib/tessary/tessary-regsvr" "$module" &&
    grep -qF "\"$module\"" "$work/registry.reg" &&
    run_installed "$stage/usr/bin/tessary-run" --register "$module"
}
check "the installed module registers into a scratch store" registered

script_runs() {
  mkdir -p "$work/data"
  printf 'hello\n' >"$work/data/a.txt"
  cat >"$work/check.js" <<'JS'
var fso = new ActiveXObject("Quennel.Tessary");
var path = WScript.Arguments(0);
var f = fso.GetFile(path);
if (f.Size != 6) WScript.Quit(3);
var ts = fso.OpenTextFile(path, 1);
WScript.Echo(ts.ReadLine());
ts.Close();
JS
  local out
  out=$(cd "$work" && run_installed "$stage/usr/bin/tessary-run" check.js "$work/data/a.txt")
  [ "$out" = hello ] || { echo "got: $out"; return 1; }
  # What the loader opened: the installed module and library, nothing of the build tree.
  (cd "$work" && LD_DEBUG=libs run_installed "$stage/usr/bin/tessary-run" check.js \
    "$work/data/a.txt" 2>"$work/loaded" >/dev/null)
  grep -q "calling init: $module\$" "$work/loaded" &&
    grep -q "calling init: $lib/libtessary-platform.so.1\$" "$work/loaded" &&
    ! grep "calling init: $(cd "$build" && pwd)/" "$work/loaded" | grep -vF "$stage/"
}
check "a script runs with the installed host and module" script_runs

embed_source() {
  cat >"$work/embed.cpp" <<'CPP'
// Creates the root object through the class catalogue and asks it for a file.
#include <cstdio>
#include "platform/automation.h"
#include "tessary.h"  // the interfaces, for programs that bind early
int main() {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(u"Quennel.Tessary", &clsid))) return 2;
  IDispatch* root = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&root))))
    return 3;
  // Late-bound, as every caller of the object model.
  DISPID id = 0;
  OLECHAR name[] = u"FileExists";
  LPOLESTR names[] = {name};
  HRESULT hr = root->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  root->Release();
  if (FAILED(hr)) return 4;
  std::puts("embedded");
  return 0;
}
CPP
}
embed_pkgconfig() {
  embed_source
  local flags
  flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR= pkg-config --cflags --libs tessary)
  # shellcheck disable=SC2086
  g++ -std=c++17 -o "$work/embed" "$work/embed.cpp" $flags &&
    [ "$(run_installed "$work/embed")" = embedded ]
}
check "a program embeds the runtime through pkg-config" embed_pkgconfig

embed_cmake() {
  embed_source
  mkdir -p "$work/cmake-consumer"
  cat >"$work/cmake-consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(embed CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Tessary 1 REQUIRED)
add_executable(embed ../embed.cpp)
target_link_libraries(embed PRIVATE Tessary::tessary-platform)
if(NOT EXISTS "${TESSARY_MODULE}")
  message(FATAL_ERROR "TESSARY_MODULE ${TESSARY_MODULE} is not there")
endif()
CMAKE
  cmake -S "$work/cmake-consumer" -B "$work/cmake-consumer/build" -G Ninja \
        -DCMAKE_PREFIX_PATH="$stage/usr" -DCMAKE_SKIP_RPATH=ON >/dev/null &&
    cmake --build "$work/cmake-consumer/build" >/dev/null &&
    [ "$(run_installed "$work/cmake-consumer/build/embed")" = embedded ]
}
check "a program embeds the runtime through find_package(Tessary)" embed_cmake

manual() {
  local text
  text=$(MANWIDTH=80 man -l "$stage/usr/share/man/man1/tessary-run.1.gz" 2>/dev/null | col -b)
  printf '%s\n' "$text" | grep -q '^NAME' && printf '%s\n' "$text" | grep -q -- '--register MODULE'
}
check "man shows the installed manual page" manual

[ $failures -eq 0 ] || { echo "$failures failed"; exit 1; }
