#!/usr/bin/env bash
# windows.sh [--sources DIR] [--jobs N] [STEP...]: builds vantrel for 64-bit
# Windows on Debian with mingw-w64 (cmake/mingw-w64-x86_64.cmake).
#
# Steps (all of them, in this order, when none is named):
#   deps  cross-builds the libraries vantrel needs into build/windows/deps:
#         zlib, libpng and libjpeg-turbo as static libraries linked into
#         the image library's DLL; the image library (IL and ILU) and libexif
#         as DLLs, so that a user can put in another build of them;
#         GoogleTest (static, from Debian's source) for the test suite.
#         It also writes deps/runtime-dlls.txt, the DLLs vantrel.exe needs
#         beside it, and copies every library's licence to deps/licenses/.
#
# --sources DIR (or VANTREL_THIRD_PARTY=DIR): the upstream source trees,
# by default ../shared/third_party beside the checkout. The trees are only
# read; each is copied under build/windows/src/ for its build.
# --jobs N (or VANTREL_JOBS=N): parallel compile jobs, by default 2.
#
# A library is built again only when its source files, its recipe below, the
# toolchain file, the compiler or a library it uses changed: each finished
# build leaves a key in deps/.stamps/, and a second run with nothing changed
# only checks those keys. The build logs stay in build/windows/logs/.
# Debian packages that are missing (cross compilers, nasm, autotools,
# googletest) are installed with apt-get.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sources=${VANTREL_THIRD_PARTY:-$root/../shared/third_party}
jobs=${VANTREL_JOBS:-2}
steps=()
while [ $# -gt 0 ]; do
  case $1 in
    --sources) sources=${2:?--sources needs a folder}; shift 2 ;;
    --sources=*) sources=${1#*=}; shift ;;
    --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
    --jobs=*) jobs=${1#*=}; shift ;;
    deps) steps+=("$1"); shift ;;
    -h|--help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "windows.sh: unknown step or option '$1' (try --help)" >&2; exit 2 ;;
  esac
done
[ ${#steps[@]} -gt 0 ] || steps=(deps)

triplet=x86_64-w64-mingw32
toolchain=$root/cmake/mingw-w64-x86_64.cmake
out=$root/build/windows
prefix=$out/deps
stamps=$prefix/.stamps

say() { printf 'windows.sh: %s\n' "$*" >&2; }

# The work folders of the library being built; removed on every way out.
workdirs=()
cleanup() {
  local d
  for d in "${workdirs[@]}"; do rm -rf "$d"; done
  rmdir "$out/src" "$out/obj" 2>/dev/null || true
}
trap cleanup EXIT

# Installs, from Debian, those of the named packages that are not installed.
needpackages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  say "installing ${missing[*]}"
  local asroot=()
  [ "$(id -u)" = 0 ] || asroot=(sudo)
  DEBIAN_FRONTEND=noninteractive "${asroot[@]}" apt-get -o DPkg::Lock::Timeout=600 update
  DEBIAN_FRONTEND=noninteractive "${asroot[@]}" apt-get -o DPkg::Lock::Timeout=600 \
    install -y --no-install-recommends "${missing[@]}"
}

# A short digest of every file under a folder, names and contents.
treedigest() {
  (cd "$1" && find . -type f ! -path './.git/*' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) |
    sha256sum | cut -c1-32
}

# What every build depends on besides its own sources: the toolchain file
# (its comments aside) and the tools' versions. Set by step_deps.
toolsdigest=
toolsdigest() {
  { grep -v '^[[:space:]]*#' "$toolchain"; ${triplet}-gcc-posix --version; ${triplet}-g++-posix --version; nasm -v
    cmake --version | head -n1; ${triplet}-ld --version | head -n1; } | sha256sum | cut -c1-32
}

# The common key of library $1: the tools and its recipe (the functions' text).
commonkey() {
  printf '%s %s\n' "$toolsdigest" "$(declare -f "build_$1" cmakebuild | sha256sum | cut -c1-32)"
}

# What each build puts in the prefix, checked before a build is skipped.
declare -A products=(
  [zlib]="lib/libz.a include/zlib.h"
  [libpng]="lib/libpng16.a include/png.h"
  [libjpeg]="lib/libjpeg.a include/jpeglib.h include/jconfig.h"
  [libexif]="bin/libexif-12.dll lib/libexif.dll.a lib/pkgconfig/libexif.pc"
  [devil]="bin/DevIL.dll bin/ILU.dll lib/libIL.dll.a lib/libILU.dll.a include/IL/il.h include/IL/ilu.h"
  [googletest]="lib/libgtest.a lib/libgtest_main.a lib/cmake/GTest/GTestConfig.cmake"
)

# built NAME KEY: whether NAME is in the prefix, built with KEY.
built() {
  [ -f "$stamps/$1" ] && [ "$(cat "$stamps/$1")" = "$2" ] || return 1
  local f
  for f in ${products[$1]}; do [ -f "$prefix/$f" ] || return 1; done
}

# step NAME SOURCEDIR|- SOURCEKEY [USED...]: runs build_NAME, on a fresh copy
# of SOURCEDIR in $src and with an empty $obj, unless the prefix already holds
# a build with the same key: the digest of SOURCEDIR's files, the text
# SOURCEKEY, the common key and the keys of the libraries USED.
step() {
  local name=$1 srcdir=$2 sourcekey=$3 key used
  shift 3
  key=$({ printf '%s\n' "$sourcekey"; [ "$srcdir" = - ] || treedigest "$srcdir"; commonkey "$name"
    for used in "$@"; do cat "$stamps/$used"; done; } | sha256sum | cut -c1-32)
  if built "$name" "$key"; then
    say "$name: up to date"
    return 0
  fi
  say "$name: building"
  local started=$SECONDS
  rm -f "$stamps/$name"
  src=$out/src/$name
  obj=$out/obj/$name
  log=$out/logs/$name
  workdirs=("$src" "$obj")
  rm -rf "$src" "$obj" "$log"
  mkdir -p "$log" "$obj" "$out/src" "$stamps" "$prefix/licenses"
  if [ "$srcdir" != - ]; then
    cp -R "$srcdir" "$src"
    chmod -R u+w "$src"
  fi
  "build_$name"
  cleanup
  workdirs=()
  printf '%s\n' "$key" >"$stamps/$name"
  say "$name: built in $((SECONDS - started)) s"
}

# logged LOGNAME COMMAND...: runs the command with its output in the build
# log LOGNAME.log, and shows the end of that log when it fails.
logged() {
  local file=$log/$1.log
  shift
  "$@" >>"$file" 2>&1 || { tail -n 60 "$file" >&2; say "failed: $* (log: $file)"; return 1; }
}

cmakebuild() {  # cmakebuild SRC OBJ [cmake options...]: configure with the toolchain
  local s=$1 o=$2
  shift 2
  mkdir -p "$o"
  logged configure cmake -S "$s" -B "$o" -G "Unix Makefiles" -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVANTREL_WINDOWS_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
}

# zlib: only the static library, with the makefile zlib keeps for MinGW.
build_zlib() {
  logged build make -C "$src" -f win32/Makefile.gcc -j"$jobs" libz.a \
    CC=${triplet}-gcc-posix AR=${triplet}-ar RC=${triplet}-windres STRIP=${triplet}-strip \
    CFLAGS="-O2 -Wall"
  install -D -m644 "$src/libz.a" "$prefix/lib/libz.a"
  install -D -m644 -t "$prefix/include" "$src/zlib.h" "$src/zconf.h"
  install -D -m644 "$src/LICENSE" "$prefix/licenses/zlib/LICENSE"
}

# libpng: static, against the zlib above.
build_libpng() {
  cmakebuild "$src" "$obj" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_TOOLS=OFF \
    -DPNG_EXECUTABLES=OFF -DPNG_FRAMEWORK=OFF \
    -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.a"
  logged build cmake --build "$obj" -j "$jobs"
  logged build cmake --install "$obj"
  install -D -m644 "$src/LICENSE" "$prefix/licenses/libpng/LICENSE"
}

# libjpeg-turbo: the libjpeg (6b interface) static library with its SIMD
# code (nasm); not the TurboJPEG library, not the command-line programs.
build_libjpeg() {
  cmakebuild "$src" "$obj" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
    -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DWITH_JAVA=OFF
  logged build cmake --build "$obj" -j "$jobs" --target jpeg-static
  install -D -m644 "$obj/libjpeg.a" "$prefix/lib/libjpeg.a"
  install -D -m644 -t "$prefix/include" "$src/jpeglib.h" "$src/jmorecfg.h" "$src/jerror.h" "$obj/jconfig.h"
  install -D -m644 -t "$prefix/licenses/libjpeg-turbo" "$src/LICENSE.md" "$src/README.ijg"
}

# libexif: a DLL (libexif-12.dll) and its import library, no static library,
# no translations.
build_libexif() {
  (cd "$src" && logged autoreconf autoreconf -fi)
  (cd "$obj" && logged configure "$src/configure" --host=$triplet --prefix="$prefix" \
    CC=${triplet}-gcc-posix CFLAGS="-O2" LDFLAGS="-static-libgcc" \
    --enable-shared --disable-static --disable-nls --disable-docs --disable-internal-docs \
    --disable-dependency-tracking)
  logged build make -C "$obj" -j"$jobs"
  logged build make -C "$obj" install
  cp "$obj/config.log" "$log/"
  rm -f "$prefix/lib/libexif.la"
  install -D -m644 "$src/COPYING" "$prefix/licenses/libexif/COPYING"
}

# The image library: IL and ILU as DLLs, named as its own Windows builds
# name them (DevIL.dll, ILU.dll), with zlib, libpng and libjpeg linked in.
# ILUT (the display toolkit) is left out. Every format that needs no other
# library stays in; those that would (TIFF, MNG, JPEG 2000, OpenEXR, colour
# profiles, NVIDIA/squish texture compression) are switched off.
build_devil() {
  # IL's CMakeLists lists ../libraries.txt among the DLL's (text) sources on
  # Windows; the file is Libraries.txt, which only a case-blind file system
  # finds.
  cp "$src/DevIL/Libraries.txt" "$src/DevIL/libraries.txt"
  # Their resource scripts (version information, icon) name the icon with a
  # backslash, relative to their own folder; windres wants it found here.
  local rc
  for rc in "$src/DevIL/src-IL/msvc/IL.rc" "$src/DevIL/src-ILU/msvc/ILU.rc"; do
    sed -i "s|\"resources\\\\\\\\IL Logo.ico\"|\"${rc%/*}/resources/IL Logo.ico\"|" "$rc"
  done
  cat >"$obj/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(devil-il-ilu C CXX)
add_subdirectory(${DEVIL_SOURCE}/src-IL IL)
add_subdirectory(${DEVIL_SOURCE}/src-ILU ILU)
# DevIL.dll and ILU.dll; the import libraries libIL.dll.a and libILU.dll.a
# keep the names CMake's FindDevIL looks for.
set_target_properties(IL PROPERTIES PREFIX "" RUNTIME_OUTPUT_NAME DevIL ARCHIVE_OUTPUT_NAME IL)
set_target_properties(ILU PROPERTIES PREFIX "")
EOF
  local off=()
  local lib
  for lib in TIFF JASPER SQUISH NVTT OPENEXR LCMS2 MNG; do off+=("-DIL_${lib}_LIB=ON"); done
  cmakebuild "$obj" "$obj/build" -DDEVIL_SOURCE="$src/DevIL" -DBUILD_SHARED_LIBS=ON \
    "${off[@]}" -DIL_NO_TIF=1 -DIL_NO_JP2=1 -DIL_NO_EXR=1 -DIL_NO_MNG=1 -DIL_NO_LCMS=1 \
    -DIL_USE_DXTC_NVIDIA=0 -DIL_USE_DXTC_SQUISH=0 \
    -DPNG_PNG_INCLUDE_DIR="$prefix/include" -DPNG_LIBRARY="$prefix/lib/libpng16.a" \
    -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.a" \
    -DJPEG_INCLUDE_DIR="$prefix/include" -DJPEG_LIBRARY="$prefix/lib/libjpeg.a"
  logged build cmake --build "$obj/build" -j "$jobs"
  logged build cmake --install "$obj/build"
  install -D -m644 "$src/LICENSE" "$prefix/licenses/devil/LICENSE"
}

# GoogleTest from Debian's source package, static, for the test suite.
build_googletest() {
  cmakebuild /usr/src/googletest "$obj" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DBUILD_SHARED_LIBS=OFF
  logged build cmake --build "$obj" -j "$jobs"
  logged build cmake --install "$obj"
}

# The DLLs a program linked against the prefix needs beside it: those it
# imports that are in the prefix, and theirs in turn.
listdlls() {
  local -A seen=()
  local queue=("$@") f dll
  while [ ${#queue[@]} -gt 0 ]; do
    f=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r dll; do
      [ -n "$dll" ] && [ -z "${seen[$dll]:-}" ] && [ -f "$prefix/bin/$dll" ] || continue
      seen[$dll]=1
      queue+=("$prefix/bin/$dll")
    done < <(${triplet}-objdump -p "$f" | sed -n 's/^\s*DLL Name: //p')
  done
  printf '%s\n' "${!seen[@]}" | LC_ALL=C sort
}

step_deps() {
  needpackages cmake make nasm pkg-config gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64 autoconf automake libtool autopoint gettext googletest
  [ -d "$sources" ] || { say "no source folder $sources (use --sources DIR)"; return 1; }
  sources=$(cd "$sources" && pwd)
  toolsdigest=$(toolsdigest)
  local started=$SECONDS
  step zlib "$sources/zlib" ""
  step libpng "$sources/libpng" "" zlib
  step libjpeg "$sources/libjpeg-turbo" ""
  step libexif "$sources/libexif" ""
  step devil "$sources/devil" "" zlib libpng libjpeg
  step googletest - "googletest $(dpkg-query -W -f='${Version}' googletest) $(treedigest /usr/src/googletest)"

  # What vantrel.exe will import from the prefix: the image library's two
  # DLLs and libexif's, and what those import from the prefix.
  local imported=("$prefix/bin/ILU.dll" "$prefix/bin"/libexif-*.dll)
  { listdlls "${imported[@]}"; printf '%s\n' "${imported[@]##*/}"; } | LC_ALL=C sort -u >"$prefix/runtime-dlls.txt"
  local dll
  while read -r dll; do
    ${triplet}-objdump -p "$prefix/bin/$dll" | sed -n 's/^\s*DLL Name: //p' |
      grep -qiE '^(libstdc\+\+|libgcc|libwinpthread)' && { say "$dll needs a compiler runtime DLL"; return 1; }
  done <"$prefix/runtime-dlls.txt"
  say "deps ready in $prefix ($((SECONDS - started)) s); DLLs beside vantrel.exe: $(tr '\n' ' ' <"$prefix/runtime-dlls.txt")"
}

for s in "${steps[@]}"; do "step_$s"; done
