#!/usr/bin/env bash
# deps.sh [test] [package] [bench] [fuzz] [cross] [windows]: installs, from
# Debian's packages, what vantrel needs to build (debian/control's
# Build-Depends, the one list of them, and a compiler), and with the words
# given what the test preset (AviSynth+'s build), the Debian package
# (dpkg-buildpackage, lintian, autopkgtest), the benchmark, the fuzz preset,
# the arm64 presets (the cross compiler, qemu for programs and for a whole
# machine; it makes arm64 known to apt, for tools/arm64-sysroot.sh) and the
# windows preset (mingw-w64, nasm, autotools, GoogleTest's source, wine)
# need too. It runs apt-get as it is when run as root (a container or CI)
# and through sudo otherwise; without either, it says what to run as root
# (unless all is installed already). While another apt or dpkg holds its
# lock, it waits up to ten minutes instead of failing.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t builddepends < <(sed -n '/^Build-Depends:/,/^[A-Z]/p' debian/control | sed '$d' |
  sed 's/^Build-Depends://; s/([^)]*)//g; s/<[^>]*>//g' | tr ',' '\n' | awk 'NF && $1 !~ /^debhelper/ {print $1}')
want=(make g++ "${builddepends[@]}")
foreign=()
for what in "$@"; do
  case $what in
    # GoogleTest and the title card's font are among the Build-Depends; the
    # layout check wants clang-format, the title test a font for Chinese,
    # Japanese and Korean.
    test) want+=(clang-format fonts-noto-cjk) ;;
    package) want+=(build-essential debhelper dpkg-dev lintian groff-base man-db mandoc autopkgtest) ;;
    bench) want+=(imagemagick graphicsmagick libvips-tools ffmpeg python3-numpy) ;;
    fuzz) want+=(clang libclang-rt-dev) ;;
    cross)
      foreign+=(arm64)
      want+=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static qemu-system-arm cpio gzip)
      ;;
    windows)
      want+=(gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 nasm
             autoconf automake libtool autopoint gettext googletest wine wine64)
      ;;
    *) echo "usage: tools/deps.sh [test] [package] [bench] [fuzz] [cross] [windows]" >&2; exit 2 ;;
  esac
done
asroot=()
if [ "$(id -u)" != 0 ]; then
  if ! command -v sudo >/dev/null; then
    installed=$(dpkg-query -W -f='${db:Status-Status}\n' "${want[@]}" 2>/dev/null | grep -cx installed || true)
    missingarch=$(for arch in "${foreign[@]}"; do dpkg --print-foreign-architectures | grep -qx "$arch" || echo "$arch"; done)
    if [ "$installed" = "${#want[@]}" ] && [ -z "$missingarch" ]; then
      echo "deps.sh: everything it would install is installed already"
      exit 0
    fi
    {
      echo "deps.sh: installing packages needs root, and there is no sudo: run it as root, or install sudo."
      echo "As root it runs:"
      for arch in "${foreign[@]}"; do echo "  dpkg --add-architecture $arch"; done
      echo "  apt-get update && apt-get install -y --no-install-recommends ${want[*]}"
    } >&2
    exit 1
  fi
  asroot=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
for arch in "${foreign[@]}"; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || "${asroot[@]}" dpkg --add-architecture "$arch"
done
wait=600
apt=("${asroot[@]}" apt-get -o "DPkg::Lock::Timeout=$wait")

# apt-get install waits for dpkg's lock by itself; apt-get update (apt 2.6)
# gives up at once when another apt holds the lock of the package lists, so
# it is tried again every five seconds until the same time has passed.
deadline=$((SECONDS + wait))
until err=$("${apt[@]}" update 2>&1 >&3); do
  printf '%s\n' "$err" >&2
  if ! grep -q 'lock' <<<"$err" || [ "$SECONDS" -ge "$deadline" ]; then exit 1; fi
  echo "deps.sh: another apt holds the lock of the package lists; trying again in 5 s" >&2
  sleep 5
done 3>&1
[ -z "$err" ] || printf '%s\n' "$err" >&2
"${apt[@]}" install -y --no-install-recommends "${want[@]}"
