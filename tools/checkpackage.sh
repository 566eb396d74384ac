#!/usr/bin/env bash
# checkpackage.sh DEB: checks a built vantrel package.
#  - Its metadata: Maintainer, Description, dependencies on the image library,
#    libexif and libseccomp, and a version that is the vantrel banner's.
#  - Unpacked into a scratch folder: the manual page passes mandoc's lint and
#    groff's warnings, and the packaged vantrel, run from its installed path,
#    makes frames and anim.avs from stills this script writes.
#  - Installed, as root: in a throw-away copy of this system (a private mount
#    namespace where / is an overlay whose changes go to memory), dpkg -i
#    installs it, vantrel runs from the PATH, man finds its page, and dpkg -r
#    removes it with all its files. The real system never sees the package,
#    whatever is installed there. Where no such copy can be made, CI (CI=true)
#    installs it on the real system only if no vantrel package is installed
#    there, and removes only what it installed.
set -euo pipefail
[ $# = 1 ] || { echo "usage: tools/checkpackage.sh vantrel_VERSION_ARCH.deb" >&2; exit 2; }
deb=$(realpath "$1")
scratch=$(mktemp -d)
mine=""   # set once this script has installed the package on the real system
cleanup() {
  if [ -n "$mine" ]; then dpkg -r vantrel >/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "checkpackage: $*" >&2; exit 1; }

# ppm FILE W H: a uniformly grey W x H picture (binary PPM).
ppm() {
  { printf 'P6\n%d %d\n255\n' "$2" "$3"; head -c $(($2 * $3 * 3)) /dev/zero | tr '\0' '\200'; } >"$1"
}

# runin BIN FOLDER: runs vantrel in FOLDER, where the log goes to log.
runin() {
  (cd "$2" && "$1" </dev/null >log 2>err) || fail "$1 exited with status $? in $2: $(cat "$2/err")"
  [ "$(head -n 1 "$2/log")" = "Vantrel $version" ] || fail "$1 does not say Vantrel $version: $(head -n 1 "$2/log")"
}

# tryrun BIN: runs vantrel on three small stills, then on its own three frames
# as camera stills, and checks what it made each time.
tryrun() {
  local bin=$1 folder again n
  folder=$(mktemp -d "$scratch/photos.XXXXXX")
  # The image library reads PPM when the name says so; landscape, portrait, square.
  ppm "$folder/DSC0001.JPG.ppm" 80 60
  ppm "$folder/DSC0002.JPG.ppm" 30 40
  ppm "$folder/DSC0003.JPG.ppm" 50 50
  runin "$bin" "$folder"
  for n in 1 2 3; do [ -s "$folder/out000$n.jpg" ] || fail "$bin made no out000$n.jpg"; done
  [ ! -e "$folder/out0004.jpg" ] || fail "$bin made a fourth frame from three stills"
  grep -qx 'video3=video.trim(exposition\*2,exposition\*3-1)' "$folder/anim.avs" || fail "$bin wrote no clip line for slide 3"
  grep -qx 'Counter=4' "$folder/log" || fail "$bin logged no Counter=4"
  [ "$(grep -x -c -e 'ht=60' -e 'ht=40' -e 'ht=50' "$folder/log")" = 3 ] || fail "$bin logged wrong heights: $(grep '^ht=' "$folder/log")"
  # Its frames are JPEG files of 720 x 576 that it reads back.
  again=$(mktemp -d "$scratch/frames.XXXXXX")
  for n in 1 2 3; do cp "$folder/out000$n.jpg" "$again/DSC000$n.JPG"; done
  runin "$bin" "$again"
  if [ "$(grep -x -c 'ht=576' "$again/log")" != 3 ] || [ "$(grep -x -c 'wd=720' "$again/log")" != 3 ]; then
    fail "$bin made frames that are not 720 x 576: $(grep -e '^ht=' -e '^wd=' "$again/log" | tr '\n' ' ')"
  fi
  for n in 1 2 3; do [ -s "$again/out000$n.jpg" ] || fail "$bin made no frame $n from its own frames"; done
  echo "checkpackage: $bin made 3 frames and anim.avs, and read its frames back"
}

# installed: installs the package with dpkg on the system this runs on, runs
# vantrel from the PATH and finds its manual page, then removes it again.
installed() {
  dpkg -i "$deb"
  [ "$(type -P vantrel)" = /usr/bin/vantrel ] || fail "the vantrel on the PATH after dpkg -i is not /usr/bin/vantrel but '$(type -P vantrel)'"
  [ "$(man -w vantrel)" = /usr/share/man/man1/vantrel.1.gz ] || fail "man does not find the vantrel page"
  tryrun vantrel
  dpkg -r vantrel
  case $(dpkg-query -W -f='${db:Status-Status}' vantrel 2>/dev/null || true) in
    '' | not-installed) ;;
    *) fail "dpkg still lists vantrel after dpkg -r: $(dpkg-query -W -f='${Status}' vantrel)" ;;
  esac
  if [ -e /usr/bin/vantrel ] || [ -e /usr/share/man/man1/vantrel.1.gz ]; then fail "dpkg -r left vantrel's files behind"; fi
  echo "checkpackage: dpkg installed vantrel, it ran from the PATH, man found its page, dpkg removed it"
}

# throwaway: runs "installed" in a throw-away copy of this system. In a private
# mount namespace, a tmpfs carries the upper layer of an overlay on /, with
# /dev and /proc bound in, and the check runs chrooted into it. When the
# namespace's processes end, the mounts and every change are gone. Returns 97
# when this kernel or container cannot make the copy.
throwaway() {
  local body
  body="$(declare -p version); scratch=\$(mktemp -d)
$(declare -f fail ppm runin tryrun installed)
installed"
  unshare --mount --propagation private true 2>/dev/null || return 97
  mkdir "$scratch/ns"
  # shellcheck disable=SC2016 # expanded by the shell in the namespace
  unshare --mount --propagation private bash -euo pipefail -c '
    top=$1 deb=$2 body=$3
    { mount -t tmpfs tmpfs "$top" && mkdir "$top/upper" "$top/work" "$top/root" &&
      mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root" &&
      mount --rbind /dev "$top/root/dev" && mount --rbind /proc "$top/root/proc"; } || exit 97
    inside=$(mktemp -d "$top/root/tmp/checkpackage.XXXXXX")
    cp "$deb" "$inside/"
    exec chroot "$top/root" env "deb=${inside#"$top/root"}/${deb##*/}" /bin/bash -euo pipefail -c "$body"
  ' throwaway "$scratch/ns" "$deb" "$body"
}

# The version: the banner says "Vantrel 0.1 alpha" where the package says
# 0.1~alpha-1 and the manual page "vantrel 0.1".
pkgversion=$(dpkg-deb --field "$deb" Version)
upstream=${pkgversion%-*}
version=${upstream//\~/ }
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
zcat "$page" | grep -q "^\.TH VANTREL 1 .* \"vantrel ${version}\"" || fail "the manual page is not that of vantrel ${version}: $(zcat "$page" | grep '^\.TH')"
if command -v mandoc >/dev/null; then
  lint=$(zcat "$page" | mandoc -T lint 2>&1) || true
  [ -z "$lint" ] || fail "the manual page has faults: $lint"
fi
warnings=$(zcat "$page" | groff -ww -z -man 2>&1) || true
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
tryrun "$scratch/root/usr/bin/vantrel"

if [ "$(id -u)" != 0 ]; then
  echo "checkpackage: not root, so the package was not installed"
else
  before=$(dpkg-query -W -f='${db:Status-Status} ${Version}' vantrel 2>/dev/null || true)
  status=0
  throwaway || status=$?
  if [ "$status" = 0 ]; then
    [ "$(dpkg-query -W -f='${db:Status-Status} ${Version}' vantrel 2>/dev/null || true)" = "$before" ] \
      || fail "the throw-away install changed the real system's vantrel package"
  elif [ "$status" != 97 ]; then
    fail "the install check in a throw-away copy of the system failed"
  elif [ "${CI:-}" != true ]; then
    echo "checkpackage: no throw-away copy of the system could be made here, so the package was not installed"
  elif [ -n "$before" ] && [ "${before%% *}" != not-installed ]; then
    echo "checkpackage: no throw-away copy of the system could be made, and a vantrel package is installed ($before): left alone, the package was not installed"
  else
    mine=yes
    installed
    mine=""
  fi
fi
echo "checkpackage: $(basename "$deb") is good"
