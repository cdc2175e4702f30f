#!/usr/bin/env bash
# Static checks of the shipping DLL: format, exports, imports, hardening,
# version resource, separate debug symbols, no test-build seams.
#   check_dll.sh DLL VERSION     (VERSION: the project's, from CMake)
set -u
dll=$1
version=$2
objdump=i686-w64-mingw32-objdump
failed=0
check() { # description, command...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failed=$((failed + 1)); fi
}
headers=$($objdump -p "$dll")
expected="vornExt_CreateContext vornExt_Deinit vornExt_DoUpdate vornExt_Free vornExt_GetPrerequest vornExt_Init vornExt_OnCommand vornExt_OnNotify vornExt_OnQueryData vornExt_ParseLog vornExt_PostUpdate vornExt_PreUpdate vornExt_ReleaseContext vornExt_Rollback"
exports=$(printf '%s\n' "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | grep -oE '[A-Za-z_@0-9]+$' | sort | xargs)
imports=$(printf '%s\n' "$headers" | grep 'DLL Name:' | awk '{print tolower($3)}' | sort | xargs)
system_dlls=" advapi32.dll bcrypt.dll crypt32.dll dbghelp.dll kernel32.dll msvcrt.dll shell32.dll shlwapi.dll msi.dll ntdll.dll user32.dll ole32.dll "

check "PE32 for i386" grep -q 'file format pei-i386' <<<"$($objdump -f "$dll")"
check "optional header magic 0x10b" grep -q 'Magic.*010b' <<<"$headers"
check "exports exactly the fourteen vornExt_ functions, undecorated" test "$exports" = "$expected"
check "DYNAMIC_BASE" grep -q DYNAMIC_BASE <<<"$headers"
check "NX_COMPAT" grep -q NX_COMPAT <<<"$headers"
only_system() { for d in $imports; do [[ "$system_dlls" == *" $d "* ]] || return 1; done; }
check "imports only Windows system DLLs ($imports)" only_system
check "VERSIONINFO resource" grep -q 'OriginalFilename' <<<"$(strings -el "$dll")"
# Four parts, as Windows shows them: the project's version, then zeros.
IFS=. read -r -a parts <<<"$version"
while [ ${#parts[@]} -lt 4 ]; do parts+=(0); done
file_version=$(IFS=.; echo "${parts[*]}")
resource_value() { strings -el "$dll" | grep -A1 -x "$1" | tail -n 1; }
check "FileVersion and ProductVersion are $file_version" \
  test "$(resource_value FileVersion) $(resource_value ProductVersion)" = "$file_version $file_version"
check "no debug sections in the shipped file" bash -c "! $objdump -h '$dll' | grep -q '\.debug_info'"
check "debug symbols kept separately" test -s "$dll.debug"
check "debug link to the symbols" grep -q gnu_debuglink <<<"$($objdump -h "$dll")"
# A debugger or crash tool finds the symbols by the build id the two share.
build_id() { $objdump -p "$1" | sed -n 's/.*format RSDS signature \([0-9a-f]*\).*/\1/p'; }
check "the symbols carry the DLL's build id" \
  test -n "$(build_id "$dll")" -a "$(build_id "$dll")" = "$(build_id "$dll.debug")"
# The test build's time divisor and WOW64 answer come from the environment;
# the shipped file reads neither.
check "no test-build seams" bash -c "! strings -a '$dll' | grep -qE 'IKX_TIME_DIVISOR|IKX_TEST_WOW64'"
total=13
echo "$((total - failed)) passed, $failed failed"
exit $((failed > 0))
