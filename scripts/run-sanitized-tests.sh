#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite under it. The interpreter is not built with the
# sanitizers, so their runtimes are preloaded; leak detection is off because
# the interpreter keeps memory on purpose. Any report aborts the run.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/sanitize
BUILD_DIR=$build_dir BUILD_TYPE=Debug VELTRANE_SANITIZE=ON scripts/dev-build.sh

compiler=${CXX:-g++}
asan=$("$compiler" -print-file-name=libasan.so)
ubsan=$("$compiler" -print-file-name=libubsan.so)

export LD_PRELOAD="$asan $ubsan"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc  # let AddressSanitizer see the interpreter's allocations too
PYTHONPATH=$build_dir/stage:src python3 -m pytest -q -p no:cacheprovider tests "$@"
