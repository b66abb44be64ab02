#!/usr/bin/env bash
# Runs the integration suite on python.org's Windows CPython 3.13 under wine,
# through the real bridge: pywin32's pythoncom and pythonnet on .NET Core 3.1
# (the runtime dotnetcore2's win_amd64 wheel carries), against the stand-in
# assemblies compiled with mcs on Linux for that runtime:
#   scripts/windows/integration-under-wine.sh [pytest arguments, by default: tests/integration]
# The wheels (integration-requirements.txt, each pinned by hash) are downloaded
# on Linux and installed offline into a copy of the interpreter of its own, so
# that the whole suite's run (test-under-wine.sh) never meets the real bridge.
# Needs what test-under-wine.sh needs, and mcs (mono-devel).
set -euo pipefail
cd "$(dirname "$0")/../.."

version=3.13
scripts/windows/cross-build.sh "$version"
base=$(scripts/windows/fetch-python.sh "$version")
python=$PWD/build/windows/integration-python-$version
wheels=$PWD/build/windows/integration-wheels-$version
stand_ins=$PWD/build/windows/integration-stand-ins
requirements=scripts/windows/integration-requirements.txt
if [ ! -e "$python/.complete" ] || [ "$python/.complete" -ot "$base/.complete" ]; then
  rm -rf "$python"
  cp -a "$base" "$python"
fi

source scripts/windows/wine-prefix.sh
stage_package "$python" "$version"
python3 -m pip download --quiet --disable-pip-version-check --no-deps --only-binary=:all: --platform win_amd64 \
  --python-version "$version" --implementation cp --require-hashes -r "$requirements" -d "$wheels"
win "$python/python.exe" -m pip install --quiet --disable-pip-version-check --no-warn-script-location --no-index \
  --no-deps --require-hashes --find-links "$(winepath -w "$wheels")" -r "$(winepath -w "$requirements")"
rm -rf "$stand_ins"
python3 tests/integration/build_sdk.py coreclr "$stand_ins"

# pythonnet starts .NET Core (the suite finds dotnetcore2's copy and writes
# the runtime's configuration); the stand-ins are the ones built above.
[ $# -gt 0 ] || set -- tests/integration
PYTHONNET_RUNTIME=coreclr VELTRANE_STAND_INS=$(winepath -w "$stand_ins") \
  win "$python/python.exe" -m pytest -q -p no:cacheprovider "$@"
