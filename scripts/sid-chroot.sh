#!/usr/bin/env bash
# CPython 3.14 and 3.15 without touching the host: a Debian sid chroot under
# build/sid-chroot holds Debian's python3.14 and python3.15, a compiler, CMake
# and Mono, and the two suites run there from this tree's sources.
#
#   scripts/sid-chroot.sh create         lay out (or bring up to date) the chroot
#   scripts/sid-chroot.sh test 3.14      both suites on 3.14 (creates the chroot first
#                                        if needed); further arguments go to pytest
#                                        in place of tests, e.g. test 3.15 tests/test_frame.py
#
# Needs root (debootstrap, mount, chroot) and Debian's debootstrap on the host.
# Nothing from sid is installed on the host itself. SID_CHROOT=DIR puts the
# chroot elsewhere; SID_MIRROR=URL picks another Debian mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
root=${SID_CHROOT:-$repo/build/sid-chroot}
mirror=${SID_MIRROR:-http://deb.debian.org/debian}
versions=(3.14 3.15)
packages=(g++ make cmake git ca-certificates mono-devel)
for version in "${versions[@]}"; do packages+=("python$version-dev" "python$version-venv"); done
# What the chroot was last completed with: a change of the list installs again.
stamp=$root/.veltrane-packages
# The tree appears here, read-write: pip keeps each interpreter's build in
# build/<wheel tag>, so the interpreters' builds never share a folder.
src=/src

usage() {
  sed -n '6,10p' "$0" >&2
  exit 2
}

[ "$(id -u)" -eq 0 ] || exec sudo --preserve-env=SID_CHROOT,SID_MIRROR,http_proxy,https_proxy,no_proxy,PIP_INDEX_URL "$0" "$@"

# One run at a time may mount into the chroot and install there.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

mounted=()
unmount_all() {
  local index
  for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
    umount "${mounted[index]}" 2>/dev/null || umount --lazy "${mounted[index]}" || true
  done
  mounted=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# mount_into TARGET MOUNT-ARGUMENTS...: TARGET (below the chroot's root) is
# mounted, and unmounted again when this script ends however it ends.
mount_into() {
  local target=$root$1
  shift
  mkdir -p "$target"
  mountpoint -q "$target" && return 0
  mount "$@" "$target"
  mounted+=("$target")
}

mount_all() {
  mount_into /proc -t proc proc
  mount_into /dev/pts -t devpts -o newinstance,ptmxmode=0666 devpts
  # multiprocessing's semaphores and Dask's workers need a writable /dev/shm.
  mount_into /dev/shm -t tmpfs -o mode=1777,size=1g tmpfs
  mount_into "$src" --bind "$repo"
}

# Commands inside run with a clean environment: the host's pip settings
# (local find-links, constraints) mean nothing there. A proxy or another
# package index set on the host carries over.
in_chroot() {
  local passed=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
    DEBIAN_FRONTEND=noninteractive CI="${CI:-}")
  local name
  for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL; do
    [ -n "${!name:-}" ] && passed+=("$name=${!name}")
  done
  env -i "${passed[@]}" chroot "$root" "$@"
}

# in_tree COMMAND...: COMMAND inside the chroot, in the tree.
in_tree() {
  # shellcheck disable=SC2016  # expanded by the shell inside
  in_chroot sh -c 'cd "$0" && exec "$@"' "$src" "$@"
}

create() {
  if [ ! -x "$root/usr/bin/apt-get" ] || [ -e "$root/debootstrap" ]; then
    # A bootstrap that did not finish is started again from nothing, once
    # nothing is mounted below it any more.
    if findmnt --list --noheadings --output TARGET | grep -q "^$root/"; then
      echo "sid-chroot: something is still mounted below $root" >&2
      exit 1
    fi
    rm -rf "$root"
    debootstrap --variant=minbase sid "$root" "$mirror"
  fi
  # What the host knows of its network, taken again at every run: its name
  # servers, and the certificate authorities of a proxy in front of the
  # package index (the host's local ones).
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]} $mirror" ]; then
    in_chroot update-ca-certificates >/dev/null
    return 0
  fi

  # The mirror's sid Release file may be past its Valid-Until date.
  printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' \
    >"$root/etc/apt/apt.conf.d/99veltrane-ci"
  mount_all
  in_chroot apt-get -o DPkg::Lock::Timeout=600 update
  in_chroot apt-get -o DPkg::Lock::Timeout=600 install -y "${packages[@]}"
  in_chroot update-ca-certificates
  in_chroot apt-get clean
  echo "${packages[*]} $mirror" >"$stamp"
  unmount_all
}

# test VERSION [PYTEST-ARGS...]: the package installed from this tree with
# its test dependencies and pythonnet into a fresh virtual environment of
# VERSION's own inside the chroot, then the whole suite and the integration
# suite (CI=true: a missing Mono or pythonnet fails instead of skipping).
run_tests() {
  local version=$1
  shift
  local interpreter=/usr/bin/python$version venv=/opt/venv-$version
  [ -x "$root$interpreter" ] || {
    echo "sid-chroot: no CPython $version in $root" >&2
    exit 1
  }
  mount_all
  in_chroot rm -rf "$venv"
  in_chroot "$interpreter" -m venv "$venv"
  local python=$venv/bin/python started=$SECONDS
  in_tree "$python" -m pip install -q ".[test]" pythonnet
  echo "== install on $version: $((SECONDS - started)) s"
  echo "== the suites on $(in_chroot "$python" --version)"
  started=$SECONDS
  if [ $# -gt 0 ]; then
    in_tree "$python" -m pytest -q "$@"
    return
  fi
  in_tree "$python" -m pytest -q tests
  echo "== whole suite on $version: $((SECONDS - started)) s"
  started=$SECONDS
  in_tree env CI=true "$python" -m pytest -q tests/integration
  echo "== integration suite on $version: $((SECONDS - started)) s"
}

case "${1:-}" in
  create)
    started=$SECONDS
    create
    echo "== sid chroot ready in $root: $((SECONDS - started)) s"
    ;;
  test)
    [ $# -ge 2 ] || usage
    [[ " ${versions[*]} " == *" $2 "* ]] || usage
    create
    run_tests "${@:2}"
    ;;
  *) usage ;;
esac
