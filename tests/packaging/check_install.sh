#!/bin/sh
# Usage: check_install.sh BUILD_DIR HOST_SOURCE WORK_DIR C_COMPILER GENERATOR [HOST_FLAGS]
#                         [PYTHON PYTHON_DIR]
# Installs BUILD_DIR into WORK_DIR/prefix, checks what was installed, then
# builds the host in HOST_SOURCE against it with CMake and with pkg-config and
# runs both builds. Given an interpreter, it also imports the installed Python
# package (PYTHON_DIR under the prefix) and checks that it loads the prefix's library.
set -eu
build=$1 host=$2 work=$3 cc=$4 generator=$5 flags=${6:-} python=${7:-} pydir=${8:-}

fail() { echo "packaging: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    fail "cmake --install failed (see $work/install.log)"

# Library with its SONAME links, header, tool, package files.
pc=$(find "$prefix" -name orvane.pc | head -n 1)
[ -n "$pc" ] || fail "no orvane.pc installed"
libdir=$(cd "$(dirname "$pc")/.." && pwd)
[ -f "$prefix/include/orvane.h" ] || fail "orvane.h not installed"
[ -f "$prefix/include/orvane_state.h" ] || fail "orvane_state.h not installed"
[ -L "$libdir/liborvane.so" ] || fail "no liborvane.so development link in $libdir"
soname=$(readlink "$libdir/liborvane.so")
[ -L "$libdir/$soname" ] || fail "$soname is not a link to the versioned library"
[ -f "$libdir/$(readlink "$libdir/$soname")" ] || fail "versioned library missing"
[ -f "$libdir/cmake/Orvane/OrvaneConfig.cmake" ] || fail "OrvaneConfig.cmake missing"
[ -f "$libdir/cmake/Orvane/OrvaneConfigVersion.cmake" ] || fail "version file missing"
if [ -e "$prefix/bin/orvane" ]; then
    env -u LD_LIBRARY_PATH "$prefix/bin/orvane" --help >/dev/null ||
        fail "the installed orvane tool does not run"
fi

# The installed header's package version must be the installed library's:
# the pkg-config version, and its major number in the SONAME.
check_output() {
    grep -q '^Orvane Library, Version-' "$1" || fail "$2: unexpected output: $(cat "$1")"
    version=$(sed -n 's/^package //p' "$1")
    [ -n "$version" ] || fail "$2: no package version in its output"
    elf_soname=$(objdump -p "$libdir/liborvane.so" | sed -n 's/^ *SONAME *//p')
    [ "$elf_soname" = "liborvane.so.${version%%.*}" ] ||
        fail "$2: header version $version does not match the SONAME $elf_soname"
    [ "$version" = "$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --modversion orvane)" ] ||
        fail "$2: header version $version is not the pkg-config version"
}

# 1. CMake package.
cmake -S "$host" -B "$work/cmake-host" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/cmake-host.log" 2>&1 ||
    fail "configuring the host with find_package(Orvane) failed (see $work/cmake-host.log)"
cmake --build "$work/cmake-host" >>"$work/cmake-host.log" 2>&1 ||
    fail "building the host with find_package(Orvane) failed (see $work/cmake-host.log)"
"$work/cmake-host/host" >"$work/cmake-host.out" || fail "the CMake-built host failed"
check_output "$work/cmake-host.out" "CMake-built host"

# 2. pkg-config.
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
cflags=$(pkg-config --cflags orvane) || fail "pkg-config --cflags orvane failed"
libs=$(pkg-config --libs orvane) || fail "pkg-config --libs orvane failed"
pc_libdir=$(pkg-config --variable=libdir orvane)
# shellcheck disable=SC2086
"$cc" $flags $cflags "$host/host.c" -o "$work/pkg-config-host" $libs \
    -Wl,-rpath,"$pc_libdir" || fail "building the host with pkg-config failed"
"$work/pkg-config-host" >"$work/pkg-config-host.out" || fail "the pkg-config-built host failed"
check_output "$work/pkg-config-host.out" "pkg-config-built host"

# 3. The Python package, from the prefix alone: no build tree on the path.
if [ -n "$python" ]; then
    [ -f "$prefix/$pydir/orvane/__init__.py" ] || fail "Python package not installed in $pydir"
    (cd "$work" && env -u ORVANE_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH="$prefix/$pydir" \
        PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import os, sys, orvane
prefix = os.path.realpath(sys.argv[1])
assert os.path.realpath(orvane.__file__).startswith(prefix + os.sep), orvane.__file__
assert os.path.realpath(orvane.library_path()).startswith(prefix + os.sep), orvane.library_path()
print(orvane.lib_version(), end="")
print("package", orvane.__version__)
' "$prefix") >"$work/python.out" 2>&1 || fail "the installed Python package: $(cat "$work/python.out")"
    check_output "$work/python.out" "installed Python package"
fi

echo "packaging: installed into $prefix; hosts built with CMake and pkg-config run"
