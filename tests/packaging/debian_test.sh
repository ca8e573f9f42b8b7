#!/usr/bin/env bash
# Builds the Debian packages from a build tree (cpack) and checks them:
# contents, control data and dependencies, lintian, and the library's
# maintainer scripts run against scratch stores in a scratch root
# (configure registers, remove keeps the store, purge removes the module's
# keys and nothing of the administrator's).
#
#   tests/packaging/debian_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/check.sh"

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib_deb=$build/packages/libtessary1_${version}_$arch.deb
run_deb=$build/packages/tessary-run_${version}_$arch.deb
dev_deb=$build/packages/libtessary-dev_${version}_$arch.deb

# contains DEB PATH...: each path is in the package.
contains() {
  local deb=$1 path
  shift
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$work/list"
  for path in "$@"; do grep -qxF "$path" "$work/list" || { echo "$(basename "$deb") lacks $path"; return 1; }; done
}
contents() {
  local m=/usr/lib/$multiarch
  contains "$lib_deb" "$m/libtessary-platform.so.1.0.0" "$m/libtessary-platform.so.1" \
    "$m/tessary/libtessary.so" "$m/tessary/tessary-regsvr" \
    /usr/share/doc/libtessary1/copyright /usr/share/doc/libtessary1/changelog.gz &&
  contains "$run_deb" /usr/bin/tessary-run /usr/share/man/man1/tessary-run.1.gz \
    /usr/share/doc/tessary/examples/tour.js /usr/share/doc/tessary-run/copyright &&
  contains "$dev_deb" "$m/libtessary-platform.so" /usr/include/tessary/platform/automation.h \
    /usr/include/tessary/tessary.h "$m/pkgconfig/tessary.pc" "$m/cmake/Tessary/TessaryConfig.cmake" &&
  # Nothing is packaged twice, and nothing lands in /etc: the store is the administrator's.
  ! { dpkg-deb -c "$lib_deb"; dpkg-deb -c "$run_deb"; dpkg-deb -c "$dev_deb"; } |
    awk '$1 !~ /^d/ {print $6}' | sort | uniq -d | grep . &&
  ! { dpkg-deb -c "$lib_deb"; dpkg-deb -c "$run_deb"; dpkg-deb -c "$dev_deb"; } | grep -q ' \./etc/'
}
check "package contents" contents

control() {
  local deps
  deps=$(dpkg-deb -f "$run_deb" Depends)
  [[ $deps == *"libtessary1 (= $version)"* && $deps == *libduktape* && $deps == *libc6* ]] ||
    { echo "tessary-run: Depends: $deps"; return 1; }
  deps=$(dpkg-deb -f "$lib_deb" Depends)
  [[ $deps == *libc6* && $deps == *libstdc++6* ]] || { echo "libtessary1: Depends: $deps"; return 1; }
  deps=$(dpkg-deb -f "$dev_deb" Depends)
  [[ $deps == *"libtessary1 (= $version)"* ]] || { echo "libtessary-dev: Depends: $deps"; return 1; }
  mkdir -p "$work/control"
  dpkg-deb -e "$lib_deb" "$work/control"
  grep -qx "libtessary-platform 1 libtessary1 (>= $version)" "$work/control/shlibs" &&
    grep -qx 'activate-noawait ldconfig' "$work/control/triggers" &&
    [ -x "$work/control/postinst" ] && [ -x "$work/control/postrm" ] &&
    grep -q 'Quennel\.Tessary' "$work/control/postrm"
}
check "control data and dependencies" control

no_lintian_errors() {
  lintian --tag-display-limit 0 "$lib_deb" "$run_deb" "$dev_deb" >"$work/lintian" 2>&1 || true
  cat "$work/lintian"
  ! grep -q '^E: ' "$work/lintian"
}
check "lintian finds no errors" no_lintian_errors

# A scratch root with the packages' files; the maintainer scripts see it
# through DPKG_ROOT, as when dpkg installs into another root.
root=$work/root
for deb in "$lib_deb" "$run_deb"; do dpkg-deb -x "$deb" "$root"; done
module=$root/usr/lib/$multiarch/tessary/libtessary.so
scripts() { # scripts SCRIPT ARG [STORE]: the library's maintainer script
  local script=$1 arg=$2
  if [ $# -gt 2 ]; then
    DPKG_ROOT=$root TESSARY_REGISTRY=$3 LD_LIBRARY_PATH=$root/usr/lib/$multiarch \
      "$work/control/$script" "$arg"
  else
    env -u TESSARY_REGISTRY DPKG_ROOT="$root" LD_LIBRARY_PATH="$root/usr/lib/$multiarch" \
      "$work/control/$script" "$arg"
  fi
}
admin_keys='[HKEY_LOCAL_MACHINE\SOFTWARE\Quennel\QN-Tessary\Drives]
"D:"="/srv/data"

[HKEY_LOCAL_MACHINE\SOFTWARE\Quennel\QN-Tessary\Parameters]
"DisableDelete"=dword:00000001'

store=$work/store/registry.reg
configure_registers() {
  mkdir -p "$work/store"
  printf 'REGEDIT4\n\n%s\n' "$admin_keys" >"$store"
  scripts postinst configure "$store" &&
    grep -qF "@=\"$module\"" "$store" &&
    grep -qF '"DisableDelete"=dword:00000001' "$store" &&
    [ "$(TESSARY_REGISTRY=$store LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$root/usr/bin/tessary-run" \
         -e 'WScript.Echo(new ActiveXObject("Quennel.Tessary").GetParentFolderName("C:\\a\\b"))')" \
      = 'C:\a' ] &&
    # A second configure (an upgrade) leaves one set of keys.
    cp "$store" "$work/once.reg" && scripts postinst configure "$store" && cmp "$work/once.reg" "$store"
}
check "configure registers the module beside the administrator's keys" configure_registers

remove_keeps() {
  cp "$store" "$work/before.reg"
  scripts postrm remove "$store" && cmp "$work/before.reg" "$store"
}
check "remove leaves the store as it is" remove_keeps

purge_removes_own_keys() {
  scripts postrm purge "$store" || return 1
  if grep -E 'HKEY_CLASSES_ROOT\\(Quennel|Tessary|CLSID\\\{|TypeLib\\\{)' "$store"; then return 1; fi
  grep -qF "$(printf '%s' "$admin_keys" | head -n 2 | tail -n 1)" "$store" &&
    grep -qF '"DisableDelete"=dword:00000001' "$store" && [ -f "$store" ] &&
    ! ls "$work/store" | grep -F '.tmp.'
}
check "purge removes the module's keys and keeps the administrator's" purge_removes_own_keys

purge_removes_store_of_its_own() {
  scripts postinst configure && [ -f "$root/etc/tessary/registry.reg" ] &&
    scripts postrm purge && [ ! -e "$root/etc/tessary" ]
}
check "purge removes a store that held only the module's keys" purge_removes_store_of_its_own

broken_store_kept() {
  printf 'not a store\n' >"$store"
  ! scripts postinst configure "$store" 2>/dev/null &&
    scripts postrm purge "$store" 2>/dev/null && [ "$(cat "$store")" = 'not a store' ]
}
check "a store that is not whole fails configure and is never rewritten" broken_store_kept

[ $failures -eq 0 ] || { echo "$failures failed"; exit 1; }
