#!/usr/bin/env bash
# arm64-sysroot.sh DIR: downloads Debian's arm64 packages that vantrel builds
# and runs with (cached in DIR/debs) and unpacks them into DIR/sysroot;
# nothing of arm64 is installed. The arm64 toolchain file runs it when its
# sysroot is missing or older than this file. Needs apt to know arm64
# (tools/deps.sh cross).
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
# dependency tree is not followed blindly; --needs checks the list. The media
# library is Debian's full build of it: its libraries link some hundred and
# thirty others, each listed here because a NEEDED entry names it.
packages=(
  libdevil-dev libexif-dev libjpeg62-turbo-dev libseccomp-dev libgtest-dev libdevil1c2 libexif12 libseccomp2
  libjpeg62-turbo libpng16-16 libtiff6 liblcms2-2 libmng1 zlib1g  # libIL's
  libdeflate0 libjbig0 liblerc4 liblzma5 libwebp7 libzstd1        # libtiff6's
  libc6 libgcc-s1 libstdc++6 libasan8 libubsan1 busybox-static    # the runtimes; the VM's shell
  # The media library: its -dev packages (libavfilter's .pc requires libpostproc's) and libraries.
  libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libswresample-dev libavutil-dev libpostproc-dev
  libavformat59 libavcodec59 libavfilter8 libswscale6 libswresample4 libavutil57 libpostproc56
  # The title card's text engine, and the fontconfig the title test asks (found by header and library).
  libass-dev libfontconfig-dev
  # What those link.
  libaom3 libass9 libbluray2 libbs2b0 libbz2-1.0 libcairo2 libchromaprint1 libcodec2-1.0 libdav1d6 libdrm2
  libflite1 libfontconfig1 libfreetype6 libfribidi0 libglib2.0-0 libgme0 libgnutls30 libgsm1 libjxl0.7
  liblilv-0-0 libmp3lame0 libmysofa1 libopenjp2-7 libopenmpt0 libopus0 libplacebo208 libpocketsphinx3
  librabbitmq4 librav1e0 librist4 librsvg2-2 librubberband2 libshine3 libsnappy1v5 libsoxr0 libspeex1
  libsphinxbase3 libsrt1.5-gnutls libssh-gcrypt-4 libsvtav1enc1 libtheora0 libtwolame0 libva-drm2 libva-x11-2
  libva2 libvdpau1 libvidstab1.1 libvorbis0a libvorbisenc2 libvpx7 libwebpmux3 libx11-6 libx264-164
  libx265-199 libxml2 libxvidcore4 libzimg2 libzmq5 libzvbi0 ocl-icd-libopencl1
  # What those link in turn (libblas3 and liblapack3 through the links below).
  libasound2 libblas3 libblkid1 libbrotli1 libbsd0 libcairo-gobject2 libcjson1 libcom-err2 libdatrie1 libepoxy0
  libexpat1 libffi8 libgcrypt20 libgdk-pixbuf-2.0-0 libgfortran5 libgmp10 libgomp1 libgpg-error0
  libgraphite2-3 libgssapi-krb5-2 libharfbuzz0b libhogweed6 libhwy1 libicu72 libidn2-0 libk5crypto3
  libkeyutils1 libkrb5-3 libkrb5support0 liblapack3 libmbedcrypto7 libmd0 libmount1 libmpg123-0 libnettle8
  libnorm1 libnuma1 libogg0 libp11-kit0 libpango-1.0-0 libpangocairo-1.0-0 libpangoft2-1.0-0 libpcre2-8-0
  libpgm-5.3-0 libpixman-1-0 libselinux1 libserd-0-0 libsodium23 libsord-0-0 libsratom-0-0 libssl3
  libtasn1-6 libthai0 libudfread0 libunistring2 libvorbisfile3 libvulkan1 libx11-xcb1 libxau6 libxcb-dri3-0
  libxcb-render0 libxcb-shm0 libxcb1 libxdmcp6 libxext6 libxfixes3 libxrender1
)
# Packages of every architecture (Architecture: all): the font the video's
# title card is set in.
common=(fonts-dejavu-core)
# Links that the packages' maintainer scripts make on an installed system
# (update-alternatives), and that unpacking alone does not: the BLAS and
# LAPACK that libsphinxbase links.
alternatives=(libblas.so.3:blas/libblas.so.3 liblapack.so.3:lapack/liblapack.so.3)

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
mapfile -t want < <(apt-get download --print-uris "${packages[@]/%/:arm64}" "${common[@]}" | awk '{print $2}')
[ ${#want[@]} -eq $((${#packages[@]} + ${#common[@]})) ] ||
  fail "apt names ${#want[@]} files for $((${#packages[@]} + ${#common[@]})) packages"
missing=()
for name in "${want[@]}"; do
  [ -s "$debs/$name" ] && continue
  case $name in *_all.deb) missing+=("${name%%_*}") ;; *) missing+=("${name%%_*}:arm64") ;; esac
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "arm64-sysroot.sh: downloading ${#missing[@]} of ${#want[@]} arm64 packages"
  (cd "$debs" && apt-get -q -o APT::Sandbox::User=root download "${missing[@]}")
fi
# (A lookup, not grep -q in a pipe: under pipefail, grep leaving early
# fails the printf feeding it, and a wanted file would go.)
declare -A wanted=()
for name in "${want[@]}"; do wanted[$name]=1; done
for name in "$debs"/*.deb; do [ -n "${wanted[${name##*/}]:-}" ] || rm -f "$name"; done
stamp=$(printf '%s\n' "${want[@]}" | sort)
if [ "$(cat "$sysroot/.packages" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for name in "${want[@]}"; do dpkg-deb -x "$debs/$name" "$sysroot"; done
  for link in "${alternatives[@]}"; do ln -s "${link#*:}" "$sysroot/usr/lib/$triplet/${link%%:*}"; done
  echo "$stamp" >"$sysroot/.packages"
  echo "arm64-sysroot.sh: unpacked ${#want[@]} packages into $sysroot"
fi
# The toolchain file runs this again when this file is newer than the stamp.
touch "$sysroot/.packages"
# Every library the build links, and what those need in turn.
"$0" --needs "$root" "$sysroot/usr/lib/$triplet"/{libIL.so.1,libILU.so.1,libexif.so.12,libseccomp.so.2} \
  "$sysroot/usr/lib/$triplet"/{libavformat.so.59,libavcodec.so.59,libavfilter.so.8} \
  "$sysroot/usr/lib/$triplet"/{libswscale.so.6,libswresample.so.4,libavutil.so.57} >/dev/null
