#!/usr/bin/env bash
# Runs the whole test suite on python.org's Windows CPython under wine, with
# the extension cross-built for it (scripts/windows/cross-build.sh):
#   scripts/windows/test-under-wine.sh [3.13] [pytest arguments, by default: tests]
# The test dependencies are downloaded on Linux as win_amd64 wheels and
# installed offline into that interpreter. Only the wine gaps below are
# deselected; any other failure fails the run. Needs wine and wine64 (no
# wine32) besides what cross-build.sh needs.
set -euo pipefail
cd "$(dirname "$0")/../.."

version=3.13
case ${1:-} in 3.1[1-3]) version=$1; shift ;; esac
scripts/windows/cross-build.sh "$version"
python=$(scripts/windows/fetch-python.sh "$version")
wheels=$PWD/build/windows/wheels-$version

source scripts/windows/wine-prefix.sh
stage_package "$python" "$version"

# The test dependencies, as pyproject.toml lists them.
mapfile -t requirements < <(python3 -c \
  'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"], sep="\n")')
# pip judges markers by this machine: what only Windows needs is added until nothing more is.
windows_only=()
while :; do
  python3 -m pip download --quiet --disable-pip-version-check --only-binary=:all: --platform win_amd64 \
    --python-version "$version" --implementation cp -d "$wheels" "${requirements[@]}" "${windows_only[@]}"
  mapfile -t found < <(python3 scripts/windows/windows_requirements.py "$wheels" "$version")
  [ "${found[*]}" != "${windows_only[*]}" ] || break
  windows_only=("${found[@]}")
done
win "$python/python.exe" -m pip install --quiet --disable-pip-version-check --no-warn-script-location --no-index \
  --find-links "$(winepath -w "$wheels")" "${requirements[@]}" "${windows_only[@]}"

# The gaps of wine 8.0, deselected by node id.
gaps=(
  # os.symlink creates nothing under wine
  "tests/test_utilities.py::TestFindFirstFile::test_links_to_files_count"
  "tests/test_project_object.py::TestLife::test_remove_takes_a_link_not_its_target"
  "tests/test_model.py::TestFailingWrites::test_save_goes_through_a_link_and_keeps_the_mode"
  # the Linux libm is visible through Z:\ and is no Windows library
  "tests/test_setup.py::TestLoading::test_native_libraries_share_the_list"
  # mypy's native parser needs a DLL wine lacks
  "tests/test_stubs.py::test_examples_type_check"
  "tests/test_stubs.py::test_type_check_catches_a_wrong_call"
  "tests/test_stubs.py::test_a_users_offline_script_is_clean_under_strict"
  # a script without the main guard: its spawned worker does not end under wine (not seen on Linux;
  # real Windows not checked)
  "tests/test_batch.py::test_a_script_without_the_main_guard_is_told_so"
)
deselect=()
for gap in "${gaps[@]}"; do deselect+=(--deselect "$gap"); done
[ $# -gt 0 ] || set -- tests
win "$python/python.exe" -m pytest -q -p no:cacheprovider "${deselect[@]}" "$@"
