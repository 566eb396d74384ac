#!/usr/bin/env bash
# checkpackage.sh DEB MAKESTILLS: checks a built vantrel package. Unpacks it
# into a scratch root, checks its metadata and manual page, and runs the
# vantrel it holds, from its installed path, on a folder of stills. As root
# (CI) it also installs the package with dpkg, runs vantrel from the PATH,
# finds its manual page with man, and removes the package again.
set -euo pipefail
deb=$(realpath "$1")
makestills=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "checkpackage: $*" >&2; exit 1; }

# Runs vantrel ($1) in a fresh folder of three stills and checks what it made.
tryrun() {
  local bin=$1 folder
  folder=$(mktemp -d "$scratch/photos.XXXXXX")
  "$makestills" "$folder" 3 16
  (cd "$folder" && "$bin" </dev/null >log 2>err) || fail "$bin exited with status $?: $(cat "$folder/err")"
  for n in 1 2 3; do [ -s "$folder/out000$n.jpg" ] || fail "$bin made no out000$n.jpg"; done
  [ ! -e "$folder/out0004.jpg" ] || fail "$bin made a fourth frame from three stills"
  grep -qx 'video3=video.trim(exposition\*2,exposition\*3-1)' "$folder/anim.avs" || fail "$bin wrote no clip line for slide 3"
  grep -qx 'Counter=4' "$folder/log" || fail "$bin logged no Counter=4"
  echo "checkpackage: $bin made 3 frames and anim.avs"
}

depends=$(dpkg-deb --field "$deb" Depends)
for lib in libdevil libexif libseccomp; do
  grep -q "$lib" <<<"$depends" || fail "the package does not depend on $lib: $depends"
done
for field in Maintainer Description; do
  [ -n "$(dpkg-deb --field "$deb" "$field")" ] || fail "the package has no $field"
done

dpkg-deb -x "$deb" "$scratch/root"
[ -x "$scratch/root/usr/bin/vantrel" ] || fail "no usr/bin/vantrel in the package"
page="$scratch/root/usr/share/man/man1/vantrel.1.gz"
[ -f "$page" ] || fail "no manual page in the package"
if command -v mandoc >/dev/null; then
  lint=$(zcat "$page" | mandoc -T lint 2>&1) || true
  [ -z "$lint" ] || fail "the manual page has faults: $lint"
fi
warnings=$(zcat "$page" | groff -ww -z -man 2>&1) || true
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
tryrun "$scratch/root/usr/bin/vantrel"

if [ "$(id -u)" = 0 ] && [ "${CI:-}" = true ]; then
  dpkg -i "$deb"
  trap 'dpkg -r vantrel >/dev/null; rm -rf "$scratch"' EXIT
  [ "$(command -v vantrel)" = /usr/bin/vantrel ] || fail "vantrel is not on the PATH after dpkg -i"
  man -w vantrel | grep -q 'vantrel.1' || fail "man does not find the vantrel page"
  tryrun vantrel
fi
echo "checkpackage: $(basename "$deb") is good"
