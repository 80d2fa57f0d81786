#!/bin/sh
# The Windows build's install check: installs into a scratch prefix and checks
# what a user gets there: zorbel.dll, its import library and the headers, the
# client's names exported and the internals not, only system DLLs imported,
# and the examples built against the installed CMake package with the cross
# toolchain and run under Wine.
#
# usage: check_install_windows.sh BUILD_DIR SOURCE_DIR TOOLCHAIN_FILE
set -eu
build=$1 source=$2 toolchain=$3
work=$build/install-check
prefix=$work/prefix
objdump=x86_64-w64-mingw32-objdump
rm -rf "$work"
mkdir -p "$work"

fail() { echo "check_install_windows: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

for f in bin/zorbel.dll bin/zorbel.exe lib/libzorbel.dll.a include/zorbel/zorbel.h include/zorbel/client.h \
         include/zorbel/export.h lib/cmake/zorbel/zorbelConfig.cmake lib/pkgconfig/zorbel.pc; do
  [ -e "$prefix/$f" ] || fail "$f was not installed"
done

dll=$prefix/bin/zorbel.dll
"$objdump" -p "$dll" >"$work/dll.txt"
# Exported: the client's classes, functions (C++ names, as the headers declare
# them) and variables.
for name in dll_ver protocol_critical _Z16Get_Zorbel_Countv _Z11Boot_ZorbeliPvi _ZN5CRC325tableE _ZN7Synchro9_finishedE \
            _ZN13ChanIOControl5startEi separator_chars; do
  grep -q "\] $name\$" "$work/dll.txt" || fail "$name is not exported"
done
if grep -q "\] _ZN6zorbel6detail" "$work/dll.txt"; then fail "internal helpers are exported"; fi
# Imported: system DLLs only (the toolchain's runtime is linked in).
sed -n 's/^[[:space:]]*DLL Name: //p' "$work/dll.txt" >"$work/imports.txt"
while read -r imported; do
  case $(echo "$imported" | tr 'A-Z' 'a-z') in
    kernel32.dll | msvcrt.dll | setupapi.dll | winmm.dll | user32.dll | advapi32.dll | api-ms-win-*) ;;
    *) fail "zorbel.dll imports $imported, which is not part of Windows" ;;
  esac
done <"$work/imports.txt"

cmake -S "$source/tests/install" -B "$work/cmake-consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -Dzorbel_DIR="$prefix/lib/cmake/zorbel" -DZORBEL_EXAMPLES_DIR="$source/examples" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/configure.log" 2>&1 \
  || { cat "$work/configure.log"; fail "find_package(zorbel) failed"; }
cmake --build "$work/cmake-consumer" >"$work/build.log" 2>&1 \
  || { cat "$work/build.log"; fail "building against zorbel::zorbel failed"; }
# As a user ships it: the DLL beside the program.
cp "$dll" "$work/cmake-consumer/"
for program in consumer echo_client echo_client_modern; do
  wine "$work/cmake-consumer/$program.exe" >"$work/$program.log" 2>&1 \
    || { cat "$work/$program.log"; fail "$program.exe failed under Wine"; }
done
grep -q "device answered: hello, device" "$work/echo_client_modern.log" || fail "echo_client_modern did not get its answer"
echo "check_install_windows: ok"
