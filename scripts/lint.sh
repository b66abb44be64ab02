#!/usr/bin/env bash
# Lints the project: C++ formatting (clang-format) and static analysis
# (clang-tidy) of the extension, then ruff and mypy for the Python code.
#   scripts/lint.sh                 # everything
#   LINT_TIDY=0 scripts/lint.sh     # without clang-tidy (the slow part)
#   LINT_INSTALL=0 scripts/lint.sh  # use the tools already on PATH
# The tools come from PyPI at fixed versions, so that every machine formats
# and reports alike. Exits non-zero when any step finds something.
set -uo pipefail
cd "$(dirname "$0")/.."

tools=("clang-format==23.1.5" "clang-tidy==23.1.4" "ruff==0.17.6" "mypy==2.4.1")
if [ "${LINT_INSTALL:-1}" != 0 ]; then
  python3 -m pip install --quiet --disable-pip-version-check "${tools[@]}" || exit 2
fi

failed=()
step() {
  local name=$1
  shift
  echo "== $name"
  if ! "$@"; then failed+=("$name"); fi
}

mapfile -t cpp_files < <(find src/core -name '*.cpp' -o -name '*.hpp' | sort)
mapfile -t cpp_units < <(find src/core -name '*.cpp' | sort)

step clang-format clang-format --dry-run --Werror "${cpp_files[@]}"

if [ "${LINT_TIDY:-1}" != 0 ]; then
  # clang-tidy needs the compile commands of a configured (not built) tree,
  # one per source file (no unity batches).
  lint_build=build/lint
  tidy() {
    cmake -S . -B "$lint_build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_UNITY_BUILD=OFF \
      -DSKBUILD_PROJECT_NAME=veltrane_computer \
      -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" \
      -DPython_EXECUTABLE="$(command -v python3)" >/dev/null || return 1
    printf '%s\n' "${cpp_units[@]}" |
      xargs -P "$(nproc)" -n 1 clang-tidy -p "$lint_build" --quiet --warnings-as-errors='*'
  }
  step clang-tidy tidy
fi

step ruff ruff check --output-format concise src tests examples benchmarks
step mypy python3 -m mypy   # files and settings: [tool.mypy] in pyproject.toml
# A user's script, written against Session, Model and Project, is clean under --strict.
step mypy-strict python3 -m mypy --strict examples/quickstart.py
step mypy-strict-study python3 -m mypy --strict examples/parametric_study.py  # with run_batch

if [ ${#failed[@]} -ne 0 ]; then
  echo "lint: findings in: ${failed[*]}"
  exit 1
fi
echo "lint: clean"
