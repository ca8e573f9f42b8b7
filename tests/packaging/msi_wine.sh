#!/usr/bin/env bash
# The Windows installer under Wine, step by step as the README's "VBScript on
# Linux" section tells a user: a fresh prefix, msiexec /i, a VBScript run by
# cscript against a Linux folder seen through drive Z:, msiexec /x; then no
# file and no class key may be left.
#
#   tests/packaging/msi_wine.sh MSI WORK_DIR
set -euo pipefail
msi=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work/data"
work=$(cd "$work" && pwd)

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all LC_ALL=C.UTF-8
# No Mono or Gecko installer during wineboot, and no window anywhere.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
w() { timeout -k 5 240 wine "$@" </dev/null; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

source "$(dirname "${BASH_SOURCE[0]}")/check.sh"

root_clsid='{E7B62F4E-82F4-11D2-BD41-00105A0A7E89}'
dll64=$WINEPREFIX/drive_c/Program\ Files/Tessary/tessary.dll
dll32=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/Tessary/tessary.dll

w wineboot --init >"$work/wineboot.log" 2>&1
wineserver -w

installed() {
  w msiexec /i "$(winpath "$msi")" /qn /l*v "$(winpath "$work/install.log")" &&
    [ -f "$dll64" ] && [ -f "$dll32" ] &&
    w reg query "HKCR\\CLSID\\$root_clsid\\InprocServer32" /ve |
      grep -qi 'C:\\Program Files\\Tessary\\tessary.dll' &&
    w reg query 'HKCR\Quennel.Tessary\CLSID' /ve | grep -qF "$root_clsid"
}
check "msiexec /i installs both DLLs and registers the x64 one" installed

script_runs() {
  cp "$here/linux_folder.vbs" "$work/linux_folder.vbs"
  local out
  out=$(w cscript //nologo "$(winpath "$work/linux_folder.vbs")" "$(winpath "$work/data")" | tr -d '\r')
  [ "$out" = "written by VBScript 21 True" ] || { echo "cscript printed: $out"; return 1; }
  [ "$(tr -d '\r' <"$work/data/from-vbscript.txt")" = "written by VBScript" ]
}
check "a VBScript under cscript uses the installed DLL on a Linux folder" script_runs

uninstalled() {
  w msiexec /x "$(winpath "$msi")" /qn /l*v "$(winpath "$work/uninstall.log")" || return 1
  wineserver -w
  [ ! -e "$dll64" ] && [ ! -e "$dll32" ] || { echo "files left"; return 1; }
  if w reg query "HKCR\\CLSID\\$root_clsid" >/dev/null 2>&1; then echo "class key left"; return 1; fi
  if w reg query 'HKCR\Quennel.Tessary' >/dev/null 2>&1; then echo "ProgID key left"; return 1; fi
}
check "msiexec /x leaves no file and no class key" uninstalled

wineserver -k 2>/dev/null || true
[ $failures -eq 0 ] || { echo "$failures failed; logs in $work"; exit 1; }
rm -rf "$WINEPREFIX"
