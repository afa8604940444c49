#!/usr/bin/env bash
# Obtains the PDFium shared library from its pinned npm package, checks the tarball against
# the integrity the registry published for that version, and keeps the extracted library in
# a cache outside the source tree. Prints the library's path on standard output.
set -euo pipefail

PKG="@craftlions/pdfium-rs-linux-x64-gnu"
VERSION="0.0.15"
INTEGRITY="sha512-Uqi8LY7CCkgngrrfFVL1Uijjw3hwry5Kd0S7/9kzmz0rQXIMI+X+gZEm76RWnu8W3LmiLvIbfZFJd+jXgVc75w=="

cache_root="${VELA_PDFIUM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vela-pdfium}"
dest="$cache_root/$VERSION"
lib="$dest/libpdfium.so"

fail() { echo "fetch-pdfium: error: $*" >&2; exit 1; }

if [ -s "$lib" ] && [ -f "$dest/integrity" ] && [ "$(cat "$dest/integrity")" = "$INTEGRITY" ]; then
  echo "$lib"
  exit 0
fi

command -v npm >/dev/null 2>&1 || fail "npm is not installed; install it (apt-get install npm) or set VELA_PDFIUM_LIBRARY to a libpdfium.so"
command -v openssl >/dev/null 2>&1 || fail "openssl is needed to check the package integrity (apt-get install openssl)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
( cd "$work" && npm pack --silent "$PKG@$VERSION" >/dev/null 2>"$work/npm.log" ) \
  || fail "npm pack $PKG@$VERSION failed: $(tail -n 3 "$work/npm.log" 2>/dev/null)"
tarball=$(ls "$work"/*.tgz 2>/dev/null | head -n 1)
[ -n "$tarball" ] || fail "npm pack produced no tarball"

actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
[ "$actual" = "$INTEGRITY" ] || fail "integrity mismatch for $PKG@$VERSION: expected $INTEGRITY, got $actual; refusing to use it"

tar -xzf "$tarball" -C "$work" package/libpdfium.so || fail "the package holds no package/libpdfium.so"
mkdir -p "$dest"
install -m 0755 "$work/package/libpdfium.so" "$lib.tmp"
mv -f "$lib.tmp" "$lib"
echo "$INTEGRITY" > "$dest/integrity"
echo "$lib"
