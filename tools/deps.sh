#!/usr/bin/env bash
# deps.sh [test] [package] [bench] [fuzz] [cross] [windows]: installs, from
# Debian's packages, what vantrel needs to build, and with the words given
# what its tests, its Debian package (dpkg-buildpackage, lintian and the
# package check), its benchmark, its fuzz target, its arm64 build
# (tools/cross.sh) and its Windows build (tools/windows.sh: mingw-w64, nasm,
# autotools, GoogleTest's source, wine, zip) need too. It runs apt-get as it is when run
# as root (a container or CI, where sudo may not exist) and through sudo
# otherwise. While another apt or dpkg holds its lock, it waits up to ten
# minutes instead of failing.
#
# cross makes arm64 known to apt, so that tools/cross.sh can download arm64
# packages (it unpacks them into its own tree: none is installed here), and
# installs the host's tools: the cross compiler, qemu for user programs and
# for a whole machine, cpio for the VM's initramfs and djpeg to compare
# frames.
set -euo pipefail
want=(cmake make g++ pkg-config libdevil-dev libexif-dev libseccomp-dev)
foreign=()
for what in "$@"; do
  case $what in
    test) want+=(libgtest-dev) ;;
    package) want+=(libgtest-dev build-essential debhelper dpkg-dev lintian groff-base man-db mandoc) ;;
    bench) want+=(imagemagick graphicsmagick libvips-tools) ;;
    fuzz) want+=(clang libclang-rt-dev) ;;
    cross)
      foreign+=(arm64)
      want+=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static qemu-system-arm cpio gzip
             libjpeg-turbo-progs)
      ;;
    windows)
      want+=(gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 nasm
             autoconf automake libtool autopoint gettext googletest wine wine64 zip)
      ;;
    *) echo "usage: tools/deps.sh [test] [package] [bench] [fuzz] [cross] [windows]" >&2; exit 2 ;;
  esac
done
asroot=()
[ "$(id -u)" = 0 ] || asroot=(sudo)
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
