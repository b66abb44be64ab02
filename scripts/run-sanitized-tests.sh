#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite under it:
#   scripts/run-sanitized-tests.sh [pytest arguments]
# PYTHON names the interpreter (default: python3 from PATH), as for dev-build.sh.
# The interpreter is not built with the sanitizers, so their runtimes are
# preloaded (into the test run and every interpreter it starts). The
# interpreter allocates through malloc (PYTHONMALLOC=malloc), so a released
# Python object is poisoned and a use after its release is caught. Leak
# detection is off: the interpreter keeps memory on purpose at exit.
# Reports are written to files, one per process, so that one from a child
# process is not lost in captured output; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${SANITIZE_BUILD_DIR:-build/sanitize}
python=${PYTHON:-python3}
BUILD_DIR=$build_dir BUILD_TYPE=Debug VELTRANE_SANITIZE=ON scripts/dev-build.sh

compiler=${CXX:-g++}
runtimes=()
for runtime in libasan.so libubsan.so; do
  path=$("$compiler" -print-file-name="$runtime")
  if [ ! -e "$path" ]; then
    echo "sanitizer runtime $runtime not found (looked for it through $compiler)" >&2
    exit 2
  fi
  runtimes+=("$path")
done

reports=$PWD/$build_dir/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"

# The tests must load the sanitized build, not an installed copy of the package.
package=$(PYTHONPATH=$build_dir/stage:src "$python" -c \
  'import importlib.util; print(importlib.util.find_spec("veltrane_computer").submodule_search_locations[0])')
if [ "$(realpath "$package")" != "$(realpath "$build_dir/stage/veltrane_computer")" ]; then
  echo "veltrane_computer resolves to $package, not to the sanitized build in $build_dir" >&2
  exit 2
fi

export LD_PRELOAD="${runtimes[*]}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
status=0
PYTHONPATH=$build_dir/stage:src "$python" -m pytest -q -p no:cacheprovider tests "$@" || status=$?
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
  for report in "$reports"/*; do
    echo "==== sanitizer report $report"
    cat "$report"
  done
  echo "sanitizer reports found: failing the run" >&2
  exit 1
fi
exit "$status"
