#!/usr/bin/env bash
# deps.sh [test] [package] [bench] [fuzz]: installs, from Debian's packages, what
# vantrel needs to build, and with the words given what its tests, its
# Debian package, its benchmark and its fuzz target need too. It runs apt-get as it is when
# run as root (a container or CI, where sudo may not exist) and through sudo
# otherwise.
set -euo pipefail
want=(cmake make g++ pkg-config libdevil-dev libexif-dev libseccomp-dev)
for what in "$@"; do
  case $what in
    test) want+=(libgtest-dev) ;;
    package) want+=(dpkg-dev file gzip groff-base man-db mandoc) ;;
    bench) want+=(imagemagick graphicsmagick libvips-tools) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    *) echo "usage: tools/deps.sh [test] [package] [bench] [fuzz]" >&2; exit 2 ;;
  esac
done
asroot=()
[ "$(id -u)" = 0 ] || asroot=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${asroot[@]}" apt-get update
"${asroot[@]}" apt-get install -y --no-install-recommends "${want[@]}"
