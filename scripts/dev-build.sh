#!/usr/bin/env bash
# Builds the extension without installing it and stages it beside a link to
# the package sources, so tests run against the working tree:
#   BUILD_DIR=build/dev scripts/dev-build.sh
#   PYTHONPATH=build/dev/stage:src python3 -m pytest
# Several builds may run side by side, each in its own BUILD_DIR. PYTHON names
# the interpreter to build for (default: python3 from PATH), for example
#   PYTHON=build/venv313/bin/python BUILD_DIR=build/v313 scripts/dev-build.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build/dev}
python=${PYTHON:-python3}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DSKBUILD_PROJECT_NAME=veltrane_computer \
  -DVELTRANE_SANITIZE="${VELTRANE_SANITIZE:-OFF}" \
  -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" \
  -DPython_EXECUTABLE="$("$python" -c "import sys; print(sys.executable)")" >/dev/null
cmake --build "$build_dir"
stage="$build_dir/stage/veltrane_computer"
mkdir -p "$stage"
for f in src/veltrane_computer/*.py src/veltrane_computer/*.pyi src/veltrane_computer/py.typed \
  src/veltrane_computer/*/__init__.py; do
  [ -e "$f" ] || continue
  case $f in */*/*/__init__.py) f=$(dirname "$f") ;; esac   # a sub-package: link its folder
  ln -sfn "$PWD/$f" "$stage/"
done
cp "$build_dir"/veltrane_core*.so "$stage/"
echo "staged: PYTHONPATH=$build_dir/stage:src"
