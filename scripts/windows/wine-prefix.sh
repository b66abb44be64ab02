# Sourced by the scripts that run Windows CPython under wine (bash, from the
# repository's root): wine's prefix under build/windows, made once, and
#   win PROGRAM ARGS...              runs a Windows program there
#   stage_package PYTHON VERSION     puts the package's sources and the
#                                    cross-built module on PYTHON's path
# A prefix of its own, no display, no debug output, and nothing that could
# wait on a dialog: no Mono or Gecko installer, no crash dialog.
export WINEPREFIX=$PWD/build/windows/wine-prefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver --kill 2>/dev/null || true' EXIT   # what this run started in its prefix
# python.exe needs valid standard handles: input from /dev/null, output through a pipe.
win() { wine "$@" </dev/null 2>&1 | cat; return "${PIPESTATUS[0]}"; }
if [ ! -e "$WINEPREFIX/.complete" ]; then
  rm -rf "$WINEPREFIX"
  win wineboot --init
  win reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  wineserver --wait
  touch "$WINEPREFIX/.complete"
fi

# The package as it would be installed: its Python sources and the built
# module, found through a .pth file; the shim for wine beside it (pip needs it too).
stage_package() {
  local python=$1 version=$2 stage=$1-stage
  rm -rf "$stage"
  mkdir -p "$stage"
  cp -r src/veltrane_computer src/veltrane_sim "$stage/"
  find "$stage" \( -name '*.so' -o -name '*.cpp' -o -name '*.hpp' -o -name __pycache__ \) -prune -exec rm -rf {} +
  cp "build/windows/build-$version/veltrane_core.pyd" "$stage/veltrane_computer/"
  winepath -w "$stage" >"$python/Lib/site-packages/veltrane-stage.pth"
  cp scripts/windows/sitecustomize.py "$python/Lib/site-packages/"
}
