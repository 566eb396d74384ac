#!/usr/bin/env bash
# arm64-sysroot.sh DIR: downloads Debian's arm64 packages that vantrel builds
# and runs with (cached in DIR/debs) and unpacks them into DIR/sysroot;
# nothing of arm64 is installed. The arm64 toolchain file runs it when its
# sysroot is missing. Needs apt to know arm64 (tools/deps.sh cross).
#
# arm64-sysroot.sh --needs DIR FILE...: the shared libraries that FILE...
# need, one path a line, found in DIR/sysroot as the arm64 dynamic loader
# would find them; fails on any it cannot find.
set -euo pipefail
fail() { echo "arm64-sysroot.sh: $*" >&2; exit 1; }
needs=no
if [ "${1:-}" = --needs ]; then needs=yes; shift; fi
[ $# -ge 1 ] || fail "usage: tools/arm64-sysroot.sh [--needs] DIR [FILE...]"
root=$(realpath -m "$1")
shift
sysroot=$root/sysroot debs=$root/debs triplet=aarch64-linux-gnu

# Debian's arm64 packages, as a fixed list: the -dev packages the build finds
# and every shared library that vantrel and the tests load, directly or
# through another, with the C and C++ runtimes. libdevil1c2 also holds ILUT,
# whose GL, SDL and Allegro dependencies vantrel never loads, so apt's
# dependency tree is not followed blindly; --needs checks the list.
packages=(
  libdevil-dev libexif-dev libseccomp-dev libgtest-dev libdevil1c2 libexif12 libseccomp2
  libjpeg62-turbo libpng16-16 libtiff6 liblcms2-2 libmng1 zlib1g  # libIL's
  libdeflate0 libjbig0 liblerc4 liblzma5 libwebp7 libzstd1        # libtiff6's
  libc6 libgcc-s1 libstdc++6 libasan8 libubsan1 busybox-static    # the runtimes; the VM's shell
)

libdirs=("$sysroot/lib/$triplet" "$sysroot/usr/lib/$triplet")
if [ "$needs" = yes ]; then
  declare -A seen=()
  queue=("$@")
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    dynamic=$("$triplet-readelf" -d "$file") || fail "cannot read the dynamic section of $file"
    for soname in $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic"); do
      [ -z "${seen[$soname]:-}" ] || continue
      found=
      for dir in "${libdirs[@]}"; do [ -e "$dir/$soname" ] && found=$dir/$soname && break; done
      [ -n "$found" ] || fail "$file needs $soname, which no package in tools/arm64-sysroot.sh's list holds"
      seen[$soname]=$found
      queue+=("$found")
      echo "$found"
    done
  done
  exit 0
fi

dpkg --print-foreign-architectures | grep -qx arm64 || fail "apt does not know arm64: run tools/deps.sh cross first"
mkdir -p "$debs"
# The files the current package lists name; a download is kept until a newer
# version replaces it, and the sysroot is unpacked afresh when they change.
mapfile -t want < <(apt-get download --print-uris "${packages[@]/%/:arm64}" | awk '{print $2}')
[ ${#want[@]} -eq ${#packages[@]} ] || fail "apt names ${#want[@]} files for ${#packages[@]} packages"
missing=()
for name in "${want[@]}"; do [ -s "$debs/$name" ] || missing+=("${name%%_*}:arm64"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "arm64-sysroot.sh: downloading ${#missing[@]} of ${#want[@]} arm64 packages"
  (cd "$debs" && apt-get -q -o APT::Sandbox::User=root download "${missing[@]}")
fi
for name in "$debs"/*.deb; do printf '%s\n' "${want[@]}" | grep -qxF "${name##*/}" || rm -f "$name"; done
stamp=$(printf '%s\n' "${want[@]}" | sort)
if [ "$(cat "$sysroot/.packages" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for name in "${want[@]}"; do dpkg-deb -x "$debs/$name" "$sysroot"; done
  echo "$stamp" >"$sysroot/.packages"
  echo "arm64-sysroot.sh: unpacked ${#want[@]} packages into $sysroot"
fi
# Every library the build links, and what those need in turn.
"$0" --needs "$root" "$sysroot/usr/lib/$triplet"/{libIL.so.1,libILU.so.1,libexif.so.12,libseccomp.so.2} >/dev/null
