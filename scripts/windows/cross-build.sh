#!/usr/bin/env bash
# Cross-compiles the extension for win_amd64 with mingw-w64, through the
# project's own CMakeLists.txt, against python.org's Windows CPython of each
# version given (default: all supported), warnings as errors:
#   scripts/windows/cross-build.sh [3.11 3.12 3.13]
# Each module lands in build/windows/build-<version>/veltrane_core.pyd. Needs
# g++-mingw-w64-x86-64-posix, mingw-w64-tools and osslsigncode from Debian,
# cmake, ninja and pybind11 from pip, and a Linux CPython of each version
# (from pyenv, else from PATH), which CMake's FindPython runs for its queries.
set -euo pipefail
cd "$(dirname "$0")/../.."

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)
pybind11_dir=$(python3 -m pybind11 --cmakedir)

for version in "${versions[@]}"; do
  started=$SECONDS
  python=$(scripts/windows/fetch-python.sh "$version")
  tag=${version/./}
  build=build/windows/build-$version
  host=$(pyenv prefix "$version" 2>/dev/null || true)/bin/python$version
  [ -x "$host" ] || host=$(command -v "python$version") || { echo "no CPython $version found" >&2; exit 1; }
  # FindPython gets the Windows interpreter's headers and libraries; its
  # runtime DLL given keeps the import library from being taken for a static
  # library (which would add the host's -ldl).
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    --toolchain "$PWD/scripts/windows/mingw-w64-x86_64.cmake" \
    -DSKBUILD_PROJECT_NAME=veltrane_computer \
    -Dpybind11_DIR="$pybind11_dir" \
    -DPython_EXECUTABLE="$host" \
    -DPython_INCLUDE_DIR="$python/include" \
    -DPython_LIBRARY="$python/libs/libpython$tag.dll.a" \
    -D_Python_RUNTIME_LIBRARY_RELEASE="$python/python$tag.dll" >/dev/null
  cmake --build "$build"
  # Windows CPython imports it under this name; it must need no MinGW DLL.
  dlls=$(x86_64-w64-mingw32-objdump -p "$build/veltrane_core.pyd" | sed -n 's/.*DLL Name: //p')
  if grep -Ei 'libstdc|libgcc|winpthread' <<<"$dlls"; then
    echo "veltrane_core.pyd for $version needs MinGW's runtime DLLs" >&2
    exit 1
  fi
  echo "== win_amd64 build for CPython $version: $((SECONDS - started)) s"
done
