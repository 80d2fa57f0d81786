#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user gets: the
# files in their places, the SONAME, hidden internals, and programs built
# against the installed library through the CMake package and pkg-config.
#
# usage: check_install.sh BUILD_DIR SOURCE_DIR LIBDIR "CXX_FLAGS" "LINKER_FLAGS" [PYTHON PYTHON_DIR]
# PYTHON and PYTHON_DIR (relative to the prefix) when the build has the Python module.
set -euo pipefail
build=$1 source=$2 libdir=$3 cxxflags=${4:-} ldflags=${5:-} python=${6:-} pydir=${7:-}
work=$build/install-check
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"

fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

for f in include/zorbel/zorbel.h include/zorbel/support.h include/zorbel/block.h \
         include/zorbel/channel.h include/zorbel/usb.h include/zorbel/control.h \
         include/zorbel/emulator.h "$libdir/pkgconfig/zorbel.pc" \
         "$libdir/cmake/zorbel/zorbelConfig.cmake" "$libdir/cmake/zorbel/zorbelConfigVersion.cmake" \
         lib/udev/rules.d/70-zorbel.rules share/bash-completion/completions/zorbel \
         share/zorbel/wireshark/zorbel.lua; do
  [[ -e $prefix/$f ]] || fail "$f was not installed"
done

# The man page comes with builds that found help2man.
if [[ -e $build/tools/zorbel/zorbel.1 ]]; then
  [[ -e $prefix/share/man/man1/zorbel.1 ]] || fail "the man page was not installed"
fi

lib=$prefix/$libdir/libzorbel.so
if [[ -e $lib ]]; then
  [[ -e $lib.2 && -e $lib.2.9.0 ]] || fail "libzorbel.so.2 and .so.2.9.0 were not installed"
  soname=$(readelf -d "$lib.2.9.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [[ $soname == libzorbel.so.2 ]] || fail "SONAME is '$soname', not libzorbel.so.2"
  # Exported: the client's names. Hidden: the library's own helpers.
  symbols=$(nm -DC --defined-only "$lib.2.9.0")
  grep -q 'CRC32::update' <<<"$symbols" || fail "CRC32::update is not exported"
  grep -q 'dll_ver' <<<"$symbols" || fail "dll_ver is not exported"
  if grep -q 'zorbel::detail::' <<<"$symbols"; then fail "internal helpers are exported"; fi
fi

if [[ -n $python ]]; then
  compgen -G "$prefix/$pydir/zorbel.cpython-*.so" >/dev/null || fail "the Python module was not installed in $pydir"
  [[ -e $prefix/$pydir/zorbel.pyi ]] || fail "zorbel.pyi was not installed beside the Python module"
  # The installed module alone: no build tree and no library path, as on a
  # machine where only the installed tree is.
  env -u LD_LIBRARY_PATH PYTHONPATH="$prefix/$pydir" "$python" "$source/examples/echo.py" >"$work/python.log" 2>&1 \
    || { cat "$work/python.log"; fail "examples/echo.py failed against the installed module"; }
  grep -q "device answered: hello, device" "$work/python.log" || fail "examples/echo.py did not get its answer"
fi

# The installed tool runs as it is, from a prefix that is not a system one,
# and from that prefix moved elsewhere.
if [[ -e $prefix/bin/zorbel ]]; then
  env -u LD_LIBRARY_PATH "$prefix/bin/zorbel" --emulate list >"$work/tool.log" 2>&1 \
    || { cat "$work/tool.log"; fail "the installed tool does not run"; }
  cp -a "$prefix" "$work/moved"
  env -u LD_LIBRARY_PATH "$work/moved/bin/zorbel" --emulate list >"$work/tool.log" 2>&1 \
    || { cat "$work/tool.log"; fail "the installed tool does not run from a moved prefix"; }
fi

export LD_LIBRARY_PATH=$prefix/$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

# The CMake package.
cmake -S "$source/tests/install" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DZORBEL_EXAMPLES_DIR="$source/examples" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$work/configure.log" \
  || { cat "$work/configure.log"; fail "find_package(zorbel) failed"; }
cmake --build "$work/cmake-consumer" >"$work/build.log" || { cat "$work/build.log"; fail "building against zorbel::zorbel failed"; }
"$work/cmake-consumer/consumer"
"$work/cmake-consumer/echo_client"
"$work/cmake-consumer/echo_client_modern"

# pkg-config.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
flags=$(pkg-config --cflags --libs zorbel) || fail "pkg-config does not know zorbel"
if [[ ! -e $lib ]]; then
  # A static library needs its dependencies at the program's link. Those are
  # shared here, so their own private libraries (what `--static` would add)
  # are not wanted.
  private=$(pkg-config --print-requires-private zorbel | awk '{print $1}')
  flags="$flags -pthread${private:+ $(pkg-config --libs $private)}"
fi
# shellcheck disable=SC2086
c++ -std=c++17 $cxxflags "$source/tests/install/consumer.cpp" -o "$work/pc-consumer" $flags $ldflags \
  || fail "building with pkg-config's flags failed"
"$work/pc-consumer"
echo "check_install: ok"
