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
#   build vantrel.exe and its test program (build/windows/vantrel), warnings
#         as errors.
#   test  the test program under wine: the portable tests, and the worker
#         deaths the Windows process layer must survive.
#   check vantrel.exe under wine, end to end, beside a Linux build of the
#         same source (build/windows/host): on the corpus stills its log,
#         frames and script must be the Linux build's (the script with CR LF
#         line breaks); a crashing still, a header claiming too many pixels
#         and a name outside the ANSI code page; an interruption (Ctrl-C, as
#         wine passes SIGINT); and nothing left behind, files or processes.
#   zip   vantrel-VERSION-win64.zip in build/windows: vantrel.exe, the
#         libraries' DLLs beside it, every licence, and README-windows.txt.
#
# wine runs with its own prefix in build/windows/wineprefix, started once
# for the steps that need it and stopped at the end.
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
    deps|build|test|check|zip) steps+=("$1"); shift ;;
    -h|--help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "windows.sh: unknown step or option '$1' (try --help)" >&2; exit 2 ;;
  esac
done
[ ${#steps[@]} -gt 0 ] || steps=(deps build test check zip)

triplet=x86_64-w64-mingw32
toolchain=$root/cmake/mingw-w64-x86_64.cmake
out=$root/build/windows
prefix=$out/deps
stamps=$prefix/.stamps

say() { printf 'windows.sh: %s\n' "$*" >&2; }

# The work folders of the library being built; removed on every way out.
workdirs=()
winestarted=
cleanup() {
  local d
  for d in "${workdirs[@]}"; do rm -rf "$d"; done
  rmdir "$out/src" "$out/obj" 2>/dev/null || true
  if [ -n "$winestarted" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    winestarted=
  fi
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

version=$(sed -n 's/^project(vantrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")-alpha
build=$out/vantrel

step_build() {
  needpackages cmake make gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  [ -f "$prefix/runtime-dlls.txt" ] || { say "no libraries in $prefix: run tools/windows.sh deps first"; return 1; }
  local started=$SECONDS
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVANTREL_WINDOWS_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DVANTREL_WERROR=ON -DVANTREL_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$jobs"
  say "vantrel.exe and its tests built in $((SECONDS - started)) s"
}

# wine, with its own prefix, for the steps that run Windows programs.
startwine() {
  [ -z "$winestarted" ] || return 0
  needpackages wine wine64
  export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  export WINEPATH=$prefix/bin
  unset DISPLAY
  mkdir -p "$WINEPREFIX"
  # The server first, kept running; then the prefix and wine's services,
  # which must not hold any pipe a test's output goes through.
  wineserver -p 2>/dev/null || true  # already running for this prefix: kept
  wineboot -i </dev/null >/dev/null 2>&1
  winestarted=1
}

step_test() {
  [ -x "$build/vantrel_tests.exe" ] || { say "no build: run tools/windows.sh build first"; return 1; }
  startwine
  local started=$SECONDS temporary=$build/Testing/Temporary
  rm -f "$temporary/LastTestsFailed.log"
  if ! ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" --timeout 300; then
    # Loaded, wine now and then fails to bring a program up: it ends at once
    # without a word. Tests that failed so, and only so, run once more; a
    # test that printed anything and failed is a failure.
    unstarted "$temporary" || return 1
    say "wine did not start these tests (no output at all); they run once more:" \
      "$(cut -d: -f2- "$temporary/LastTestsFailed.log" | tr '\n' ' ')"
    ctest --test-dir "$build" --output-on-failure --rerun-failed -j "$jobs" --timeout 300 || return 1
  fi
  say "the tests ran under wine in $((SECONDS - started)) s"
}

# unstarted TEMPORARY: whether every test ctest's last run lists as failed
# printed nothing at all.
unstarted() {
  [ -s "$1/LastTestsFailed.log" ] || return 1
  awk 'FNR == NR { failed[substr($0, index($0, ":") + 1)] = 1; wanted++; next }
    /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); next }
    /^Output:$/ { getline; reading = 1; printed = 0; next }
    reading && /^<end of output>$/ { reading = 0; if (name in failed && !printed) silent++; next }
    reading && NF { printed = 1 }
    END { exit silent == wanted ? 0 : 1 }' "$1/LastTestsFailed.log" "$1/LastTest.log"
}

# A JPEG whose frame header claims WIDTH x HEIGHT: the start-of-frame marker
# of FILE patched. patchsize FILE WIDTH HEIGHT OUT
patchsize() {
  local at
  # The main picture's frame header, found by walking the markers (an EXIF
  # thumbnail inside an APP1 segment has one of its own).
  at=$(od -An -tu1 -v "$1" | tr -s ' ' '\n' | awk 'NF { b[n++] = $1 }
    END { p = 2; while (p + 3 < n && b[p] == 255) { if (b[p + 1] == 192 || b[p + 1] == 194) { print p; exit }
                                                      p += 2 + b[p + 2] * 256 + b[p + 3] } }')
  [ -n "$at" ] || { say "no frame header in $1"; return 1; }
  cp "$1" "$4"
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 >> 8)) $(($3 & 255)) $(($2 >> 8)) $(($2 & 255)))" |
    dd of="$4" bs=1 seek=$((at + 5)) conv=notrunc status=none
}

# runwine DIR: vantrel.exe in DIR, its log in DIR/../NAME.out and .err.
runwine() {
  (cd "$1" && wine "$build/vantrel.exe" </dev/null >"$1.out" 2>"$1.err") && echo 0 || echo $?
}
checkfail() { say "check FAILED: $*"; return 1; }

step_check() {
  [ -x "$build/vantrel.exe" ] || { say "no build: run tools/windows.sh build first"; return 1; }
  local corpus=$root/../shared/corpus
  [ -d "$corpus" ] || { say "no corpus at $corpus: the check runs vantrel on its stills"; return 1; }
  startwine
  local started=$SECONDS host=$out/host check=$out/check
  cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
  cmake --build "$host" -j "$jobs" --target vantrel >/dev/null
  rm -rf "$check"
  mkdir -p "$check/linux" "$check/windows"
  local n=0 f
  for f in "$corpus"/*.jpg "$corpus"/orientation/*.jpg; do
    n=$((n + 1))
    cp "$f" "$check/linux/$(printf 'DSC%04d.JPG' "$n")"
    cp "$f" "$check/windows/$(printf 'DSC%04d.JPG' "$n")"
  done
  (cd "$check/linux" && "$host/vantrel" </dev/null >"$check/linux.out" 2>"$check/linux.err") ||
    checkfail "the Linux build failed on the corpus: $(cat "$check/linux.err")"
  local status
  status=$(runwine "$check/windows")
  [ "$status" = 0 ] || checkfail "vantrel.exe ended with status $status: $(cat "$check/windows.err")"
  [ ! -s "$check/windows.err" ] || checkfail "vantrel.exe wrote on standard error: $(cat "$check/windows.err")"
  # The log: the same lines, a Windows console's line breaks; the listing in
  # whatever order the file system gives.
  diff <(tr -d '\r' <"$check/windows.out" | grep -v '^file:') <(grep -v '^file:' "$check/linux.out") ||
    checkfail "the log differs from the Linux build's"
  diff <(tr -d '\r' <"$check/windows.out" | grep '^file:' | LC_ALL=C sort) <(grep '^file:' "$check/linux.out" | LC_ALL=C sort) ||
    checkfail "the listing differs from the Linux build's"
  for ((f = 1; f <= n; f++)); do
    cmp -s "$check/windows/$(printf 'out%04d.jpg' "$f")" "$check/linux/$(printf 'out%04d.jpg' "$f")" ||
      checkfail "frame $f differs from the Linux build's"
  done
  # The script: CR LF after every line, otherwise the Linux build's bytes
  # but for the transitions, which are drawn at random.
  local crlf lines
  lines=$(tr -cd '\n' <"$check/windows/anim.avs" | wc -c)
  crlf=$(grep -c $'\r$' "$check/windows/anim.avs")
  [ "$lines" = "$crlf" ] && [ "$lines" -gt 0 ] || checkfail "anim.avs has $lines lines but $crlf end in CR LF"
  diff <(tr -d '\r' <"$check/windows/anim.avs" | grep -v '^video=[A-Z]') <(grep -v '^video=[A-Z]' "$check/linux/anim.avs") ||
    checkfail "anim.avs differs from the Linux build's"
  [ "$(grep -c '^video=[A-Z]' "$check/windows/anim.avs")" = "$(grep -c '^video=[A-Z]' "$check/linux/anim.avs")" ] ||
    checkfail "anim.avs has another number of transitions"
  say "corpus: $n stills; log, frames and script as the Linux build's (CR LF in the script)"

  # Bad stills among good ones, and a name outside the ANSI code page.
  local bad=$check/bad
  mkdir -p "$bad"
  cp "$corpus/canon_40d_100x68.jpg" "$bad/DSC0001.JPG"
  patchsize "$corpus/canon_40d_100x68.jpg" 30000 40000 "$bad/DSC0002.JPG"
  printf 'not a picture' >"$bad/DSC0003.JPG"
  cp "$root/testing/crash.xpm" "$bad/DSC0004.JPG.xpm"
  cp "$corpus/nikon_p6000_640x480.jpg" "$bad/DSC0005-Ωmega-日本.JPG"
  status=$(runwine "$bad")
  [ "$status" = 2 ] || checkfail "bad stills: status $status, not 2: $(cat "$bad.err")"
  local err
  err=$(tr -d '\r' <"$bad.err")
  grep -qx 'vantrel: DSC0002.JPG: cannot load: too large: 30000 × 40000 pixels' <<<"$err" ||
    checkfail "no too-large line: $err"
  grep -q '^vantrel: DSC0003.JPG: cannot load: ' <<<"$err" || checkfail "no line for the text file: $err"
  grep -qx 'vantrel: DSC0004.JPG.xpm: cannot load: the image library crashed (access violation)' <<<"$err" ||
    checkfail "no crash line: $err"
  [ "$(wc -l <<<"$err")" = 3 ] || checkfail "more on standard error than the three bad stills: $err"
  grep -qx 'processimage:DSC0005-Ωmega-日本.JPG' <(tr -d '\r' <"$bad.out") || checkfail "the name outside the code page is not in the log"
  [ -s "$bad/out0001.jpg" ] && [ -s "$bad/out0002.jpg" ] && [ ! -e "$bad/out0003.jpg" ] ||
    checkfail "bad stills: not exactly two frames"
  say "bad stills: named and skipped, status 2; a name outside the code page made its frame"

  # A folder named on the command line as a shell completes it, with a
  # separator at its end.
  local given=$check/given
  mkdir -p "$given"
  cp "$corpus/canon_40d_100x68.jpg" "$given/DSC0001.JPG"
  status=0
  (cd "$check" && wine "$build/vantrel.exe" 'given\' </dev/null >"$given.out" 2>"$given.err") || status=$?
  [ "$status" = 0 ] && [ -s "$given/out0001.jpg" ] || checkfail "vantrel.exe given\\: status $status: $(cat "$given.err")"
  say "a folder named with a separator at its end: its frame made"

  # Ctrl-C, as wine passes a SIGINT on, in the middle of a run.
  local stop=$check/interrupted pid i
  mkdir -p "$stop"
  for ((i = 1; i <= 60; i++)); do cp "$corpus/canon_g9_2560x1600.jpg" "$stop/$(printf 'DSC%04d.JPG' "$i")"; done
  (cd "$stop" && exec wine "$build/vantrel.exe" </dev/null >"$stop.out" 2>"$stop.err") &
  pid=$!
  for ((i = 0; i < 600; i++)); do
    [ -e "$stop/.out0003.jpg.new" ] && break  # the frame, until the kit is put in place
    sleep 0.05
  done
  kill -INT "$pid"
  status=0
  wait "$pid" || status=$?
  local made=0
  while [ -e "$stop/$(printf 'out%04d.jpg' $((made + 1)))" ]; do made=$((made + 1)); done
  [ "$made" -ge 3 ] && [ "$made" -lt 60 ] || checkfail "interrupted: $made frames"
  grep -qx "vantrel: interrupted (Interrupt): $made slides made, and anim.avs holds them" <(tr -d '\r' <"$stop.err") ||
    checkfail "interrupted: $(cat "$stop.err")"
  grep -q "^video$made=video.trim" "$stop/anim.avs" && ! grep -q "^video$((made + 1))=" "$stop/anim.avs" ||
    checkfail "interrupted: anim.avs does not hold the $made slides"
  say "interrupted after $made slides (status $status): the kit is whole"

  # Nothing left behind: no file of the run's own, no worker.
  local left
  left=$(find "$check" -name '.anim.avs.new' -o -name '.out*.jpg.new' -o -name '.vantrel.lock')
  [ -z "$left" ] || checkfail "files left behind: $left"
  for ((i = 0; i < 100; i++)); do
    pgrep -f 'vantrel\.exe' >/dev/null || break
    sleep 0.1
  done
  ! pgrep -fa 'vantrel\.exe' || checkfail "vantrel.exe processes left running"
  say "check passed in $((SECONDS - started)) s"
}

step_zip() {
  [ -x "$build/vantrel.exe" ] || { say "no build: run tools/windows.sh build first"; return 1; }
  needpackages zip
  local name=vantrel-$version-win64 stage
  stage=$out/$name
  rm -rf "$stage" "$out/$name.zip"
  mkdir -p "$stage/licenses"
  ${triplet}-strip -o "$stage/vantrel.exe" "$build/vantrel.exe"
  local dll
  while read -r dll; do cp "$prefix/bin/$dll" "$stage/$dll"; done <"$prefix/runtime-dlls.txt"
  cp "$root/LICENSE" "$stage/licenses/vantrel.txt"
  for dll in "$prefix"/licenses/*; do cp -R "$dll" "$stage/licenses/"; done
  sed 's/$/\r/' "$root/doc/README-windows.txt" >"$stage/README.txt"
  (cd "$out" && zip -q -r -X "$name.zip" "$name")
  rm -rf "$stage"
  say "$out/$name.zip: $(du -k "$out/$name.zip" | cut -f1) KiB"
}

for s in "${steps[@]}"; do "step_$s"; done
