#!/usr/bin/env bash
# cross.sh arm64 [STEP...]: builds vantrel for arm64 on an x86-64 machine and
# tests it there. The steps, all of them in this order when none is named:
#
#   sysroot  downloads Debian's arm64 packages vantrel builds and runs with
#            (cached in build/cross/arm64/debs) and unpacks them into
#            build/cross/arm64/sysroot; nothing of arm64 is installed.
#   test     the test build (build/cross/arm64/test: no sanitizers, and
#            VANTREL_TEST_WITHOUT_SANDBOX, since qemu-user has no seccomp),
#            its whole suite run by ctest under qemu-user. With
#            VANTREL_CROSS_SANITIZE=1 in the environment: a build with
#            AddressSanitizer and UndefinedBehaviorSanitizer instead
#            (build/cross/arm64/test-sanitize; leak checks off), some four
#            times slower.
#   compare  runs the arm64 test build's vantrel (qemu-user) and a vantrel
#            built for this machine (build/cross/host) on the corpus stills
#            and compares their frames, pixel by pixel: the image library's
#            bilinear scaler rounds differently on arm64 (Debian builds it
#            with fused multiply-add there), so frames may differ by a few
#            levels in a few per cent of their bytes, and no more.
#   release  a release build, sandbox on (build/cross/arm64/release).
#   vm       boots Debian's arm64 kernel in qemu-system-aarch64 with an
#            initramfs holding the release vantrel, busybox and the corpus
#            stills; its /init (tools/arm64-vm-init.sh) runs vantrel on the
#            stills, checks that its workers are in seccomp's filter mode and
#            that every still became a frame, and prints PASS or FAIL. The
#            frames must be byte for byte those of the compare step (one
#            architecture, one image library).
#
# Needs tools/deps.sh cross (once; it makes arm64 known to apt) and the
# corpus in ../shared/corpus. Any step that fails fails the script; none is
# skipped. Each step prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

export LC_ALL=C
usage() { echo "usage: tools/cross.sh arm64 [sysroot] [test] [compare] [release] [vm]" >&2; exit 2; }
[ "${1:-}" = arm64 ] || usage
shift
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(sysroot test compare release vm)
for s in "${steps[@]}"; do
  case $s in sysroot | test | compare | release | vm) ;; *) usage ;; esac
done

triplet=aarch64-linux-gnu
root=$src/build/cross/arm64
sysroot=$root/sysroot
# The test build: with the sanitizers (VANTREL_CROSS_SANITIZE=1) in a folder of its own.
testbuild=$root/test
if [ "${VANTREL_CROSS_SANITIZE:-0}" = 1 ]; then testbuild=$root/test-sanitize; fi
debs=$root/debs
corpus=$src/../shared/corpus
jobs=$(nproc)
vmtimeout=${VANTREL_VM_TIMEOUT:-300}  # s; the VM takes 20 to 30 here
vmmemory=${VANTREL_VM_MEMORY:-2048}  # MiB; vantrel starts a worker for each 2.5 GiB
# How far an arm64 frame may be from the x86-64 one (see compare).
maxlevels=8
maxpercent=15

say() { echo "cross.sh: $*"; }
fail() { echo "cross.sh: FAILED: $*" >&2; exit 1; }
timed() {  # timed NAME COMMAND...: runs the command and says how long it took
  local name=$1 start=$SECONDS
  shift
  "$@"
  say "$name took $((SECONDS - start)) s"
}

# Debian's arm64 packages, as a fixed list: the -dev packages the build finds
# (headers, .so links, pkg-config and CMake files) and every shared library
# that vantrel and the tests load, directly or through another library, with
# the C and C++ runtimes (the cross compiler links against its own copy in
# /usr/aarch64-linux-gnu; at run time, qemu and the VM load these). The
# list is checked against what the binaries need: checklibs below fails on
# any library missing from the sysroot. libdevil1c2 also holds ILUT, whose
# GL, SDL and Allegro dependencies vantrel never loads, so apt's dependency
# tree is not followed blindly.
packages=(
  libdevil-dev libexif-dev libseccomp-dev libgtest-dev
  libdevil1c2 libexif12 libseccomp2
  # libIL's: JPEG, PNG, TIFF, MNG, colour management
  libjpeg62-turbo libpng16-16 libtiff6 liblcms2-2 libmng1 zlib1g
  # libtiff6's
  libdeflate0 libjbig0 liblerc4 liblzma5 libwebp7 libzstd1
  # the runtimes, the sanitizers' too (VANTREL_CROSS_SANITIZE)
  libc6 libgcc-s1 libstdc++6 libasan8 libubsan1
  # the VM's shell and tools
  busybox-static
)

# The shared libraries that FILE... need, one path a line, found in the
# sysroot as the arm64 dynamic loader would; fails on any it cannot find.
libdirs=("$sysroot/lib/$triplet" "$sysroot/usr/lib/$triplet")
checklibs() {
  local -A seen=()
  local queue=("$@") file soname dir found
  local needed
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    # Read apart from the loop, so that a file readelf cannot read fails here.
    needed=$("$triplet-readelf" -d "$file") || fail "cannot read the dynamic section of $file"
    for soname in $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$needed"); do
      [ -z "${seen[$soname]:-}" ] || continue
      found=
      for dir in "${libdirs[@]}"; do
        if [ -e "$dir/$soname" ]; then found=$dir/$soname; break; fi
      done
      [ -n "$found" ] || fail "$file needs $soname, which no package in tools/cross.sh's list holds"
      seen[$soname]=$found
      queue+=("$found")
      echo "$found"
    done
  done
}

step_sysroot() {
  dpkg --print-foreign-architectures | grep -qx arm64 ||
    fail "apt does not know arm64: run tools/deps.sh cross (as root) first"
  mkdir -p "$debs"
  # The files the current package lists name; a download is kept until a
  # newer version replaces it.
  local want=() missing=() line name
  while read -r line; do
    name=$(awk '{print $2}' <<<"$line")
    want+=("$name")
    [ -s "$debs/$name" ] || missing+=("$name")
  done < <(apt-get download --print-uris "${packages[@]/%/:arm64}")
  [ ${#want[@]} -eq ${#packages[@]} ] || fail "apt names ${#want[@]} files for ${#packages[@]} packages"
  if [ ${#missing[@]} -gt 0 ]; then
    say "downloading ${#missing[@]} of ${#want[@]} arm64 packages"
    local pkgs=()
    for name in "${missing[@]}"; do pkgs+=("${name%%_*}:arm64"); done
    (cd "$debs" && apt-get -q -o APT::Sandbox::User=root download "${pkgs[@]}")
  else
    say "all ${#want[@]} arm64 packages are in the cache"
  fi
  for name in "$debs"/*.deb; do
    printf '%s\n' "${want[@]}" | grep -qxF "$(basename "$name")" || rm -f "$name"
  done

  # Unpacked afresh whenever the set of files changed.
  local stamp
  stamp=$(printf '%s\n' "${want[@]}" | sort)
  if [ "$(cat "$sysroot/.packages" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$sysroot"
    mkdir -p "$sysroot"
    for name in "${want[@]}"; do dpkg-deb -x "$debs/$name" "$sysroot"; done
    echo "$stamp" >"$sysroot/.packages"
    say "unpacked ${#want[@]} packages into $sysroot"
  fi
  # Every library the build links, and what those need in turn.
  checklibs "$sysroot/usr/lib/$triplet"/{libIL.so.1,libILU.so.1,libexif.so.12,libseccomp.so.2} >/dev/null
}

configure() {  # configure DIR CMAKE-ARGS...
  local dir=$1
  shift
  cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/$triplet.cmake" -DVANTREL_SYSROOT="$sysroot" "$@"
}

step_test() {
  [ -f "$sysroot/.packages" ] || fail "no sysroot: run tools/cross.sh arm64 sysroot first"
  local dir=$testbuild sanitize=OFF
  if [ "${VANTREL_CROSS_SANITIZE:-0}" = 1 ]; then
    # AddressSanitizer and UndefinedBehaviorSanitizer work under qemu-user;
    # LeakSanitizer does not (it needs ptrace), so it is off.
    sanitize=ON
    export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  fi
  configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DVANTREL_WERROR=ON -DVANTREL_SANITIZE="$sanitize" \
    -DVANTREL_TEST_WITHOUT_SANDBOX=ON -DVANTREL_BENCH=OFF >/dev/null
  timed "the arm64 test build" cmake --build "$dir" -j "$jobs"
  checklibs "$dir/vantrel" "$dir/vantrel_tests" >/dev/null
  timed "the test suite under qemu-user" ctest --test-dir "$dir" --output-on-failure --no-tests=error
  # What was skipped, and why.
  grep -A1 ': Skipped$' "$dir/Testing/Temporary/LastTest.log" | grep -v '^--$' | sed 's/^/cross.sh: skipped: /' || true
}

# Links the corpus stills into DIR as DSC0001.JPG ..., as the corpus test
# does; prints how many.
linkstills() {
  local n=0 f
  for f in "$corpus"/*.jpg "$corpus"/orientation/*.jpg; do
    [ -f "$f" ] || continue
    n=$((n + 1))
    ln -s "$(realpath "$f")" "$1/$(printf 'DSC%04d.JPG' "$n")"
  done
  [ "$n" -gt 0 ] || fail "no stills in $corpus"
  echo "$n"
}

# Runs vantrel (the command $2...) in DIR ($1) on the stills there, which it
# must all turn into frames.
runon() {
  local dir=$1 n
  shift
  n=$(find "$dir" -name 'DSC*.JPG' | wc -l)
  (cd "$dir" && "$@" </dev/null >log 2>err) || fail "$* in $dir exited with status $?: $(head -c 2000 "$dir/err")"
  [ ! -s "$dir/err" ] || fail "$* in $dir wrote to standard error: $(head -c 2000 "$dir/err")"
  [ -s "$dir/$(printf 'out%04d.jpg' "$n")" ] || fail "$* in $dir made fewer than $n frames"
}

step_compare() {
  command -v djpeg >/dev/null || fail "no djpeg (libjpeg-turbo-progs): run tools/deps.sh cross"
  local arm=$testbuild/vantrel-launched host=$root/host dir=$root/compare
  [ -x "$arm" ] || fail "no test build: run tools/cross.sh arm64 test first"
  [ -d "$corpus" ] || fail "no corpus at $corpus"
  cmake -S "$src" -B "$host" -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
  timed "the x86-64 build" cmake --build "$host" -j "$jobs" --target vantrel
  rm -rf "$dir"
  mkdir -p "$dir/x86-64" "$dir/arm64"
  local n
  n=$(linkstills "$dir/x86-64")
  linkstills "$dir/arm64" >/dev/null
  timed "vantrel on $n stills (x86-64)" runon "$dir/x86-64" "$host/vantrel"
  timed "vantrel on $n stills (arm64, qemu-user)" runon "$dir/arm64" "$arm"
  # Decoded, byte by byte: the largest difference and how many bytes differ.
  local i frame a b bytes levels pct verdict worst=0 worstpct=0 identical=0
  for ((i = 1; i <= n; i++)); do
    frame=$(printf 'out%04d.jpg' "$i")
    a=$dir/x86-64/${frame%.jpg}.ppm
    b=$dir/arm64/${frame%.jpg}.ppm
    djpeg -pnm -outfile "$a" "$dir/x86-64/$frame"
    djpeg -pnm -outfile "$b" "$dir/arm64/$frame"
    [ "$(head -c 20 "$a" | head -n 2)" = "$(head -c 20 "$b" | head -n 2)" ] || fail "$frame: the frames differ in size"
    bytes=$(stat -c %s "$a")
    if cmp -s "$dir/x86-64/$frame" "$dir/arm64/$frame"; then identical=$((identical + 1)); fi
    verdict=$( (cmp -l "$a" "$b" || true) | awk -v bytes="$bytes" -v maxlevels="$maxlevels" -v maxpercent="$maxpercent" '
      function octal(s, v, k) { v = 0; for (k = 1; k <= length(s); k++) v = v * 8 + substr(s, k, 1); return v }
      { d = octal($2) - octal($3); if (d < 0) d = -d; if (d > most) most = d; n++ }
      END { pct = 100 * n / bytes; printf "%d %.2f %s", most, pct, (most <= maxlevels && pct <= maxpercent) ? "ok" : "FAR" }')
    read -r levels pct verdict <<<"$verdict"
    say "$frame: arm64 and x86-64 differ by at most $levels levels in $pct% of the bytes"
    [ "$verdict" = ok ] || fail "$frame: the arm64 frame is further from the x86-64 one than rounding explains (at most $maxlevels levels in $maxpercent% of the bytes)"
    [ "$levels" -le "$worst" ] || worst=$levels
    awk -v p="$pct" -v w="$worstpct" 'BEGIN { exit !(p > w) }' && worstpct=$pct
  done
  rm -f "$dir"/*/*.ppm
  say "$n frames: $identical identical across the architectures; the others within $worst levels, in at most $worstpct% of their bytes"
}

step_release() {
  [ -f "$sysroot/.packages" ] || fail "no sysroot: run tools/cross.sh arm64 sysroot first"
  local dir=$root/release
  configure "$dir" -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
  timed "the arm64 release build" cmake --build "$dir" -j "$jobs" --target vantrel
}

step_vm() {
  local bin=$root/release/vantrel vm=$root/vm
  [ -x "$bin" ] || fail "no release build: run tools/cross.sh arm64 release first"
  [ -d "$corpus" ] || fail "no corpus at $corpus: the VM runs vantrel on its stills"
  mkdir -p "$vm" "$debs/kernel"

  # Debian's current arm64 kernel: the package the metapackage depends on.
  local kpkg kdeb
  kpkg=$(apt-cache depends linux-image-arm64:arm64 | sed -n 's/^ *Depends: \(linux-image-[^:]*\):arm64$/\1/p' | head -n 1)
  [ -n "$kpkg" ] || fail "cannot tell which kernel linux-image-arm64 depends on"
  kdeb=$(apt-get download --print-uris "$kpkg:arm64" | awk '{print $2}')
  if [ ! -s "$debs/kernel/$kdeb" ]; then
    say "downloading $kdeb"
    rm -f "$debs/kernel"/*.deb
    (cd "$debs/kernel" && apt-get -q -o APT::Sandbox::User=root download "$kpkg:arm64")
  fi
  local kernel=$vm/${kdeb%.deb}.vmlinuz
  if [ ! -s "$kernel" ]; then
    rm -f "$vm"/*.vmlinuz
    dpkg-deb --fsys-tarfile "$debs/kernel/$kdeb" | tar -xO --wildcards './boot/vmlinuz-*' >"$kernel.part"
    mv "$kernel.part" "$kernel"
  fi

  # The initramfs: busybox, vantrel and the libraries it loads, the stills.
  local tree=$vm/initramfs lib n f
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,dev,proc,sys,tmp,corpus,photos,lib/$triplet}
  cp "$sysroot/bin/busybox" "$tree/bin/busybox"
  ln -s busybox "$tree/bin/sh"
  cp "$bin" "$tree/bin/vantrel"
  cp -L "$sysroot/lib/ld-linux-aarch64.so.1" "$tree/lib/ld-linux-aarch64.so.1"
  local libs
  libs=$(checklibs "$bin" "$tree/bin/busybox")  # apart from the loop, so that its failure ends the step
  for lib in $libs; do cp -L "$lib" "$tree/lib/$triplet/"; done
  n=$(linkstills "$tree/corpus")
  for f in "$tree/corpus"/*; do cp --remove-destination "$(readlink "$f")" "$f"; done
  cp "$src/tools/arm64-vm-init.sh" "$tree/init"
  chmod 755 "$tree/init"
  (cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0 | gzip -1) >"$vm/initramfs.cpio.gz"
  say "initramfs: $n stills, $(du -k "$vm/initramfs.cpio.gz" | cut -f1) KiB"

  local log=$vm/console.log start=$SECONDS rc=0
  say "booting $(basename "$kernel") in qemu-system-aarch64 (timeout $vmtimeout s)"
  timeout --foreground -k 10 "$vmtimeout" qemu-system-aarch64 -machine virt -accel tcg,thread=multi -cpu cortex-a57 \
    -smp 2 -m "$vmmemory" -nographic -no-reboot -nic none \
    -kernel "$kernel" -initrd "$vm/initramfs.cpio.gz" \
    -append "console=ttyAMA0 rdinit=/init panic=-1 loglevel=4" </dev/null 2>&1 | tee "$log" ||
    rc=$?
  say "the VM ran $((SECONDS - start)) s (boot to poweroff)"
  tr -d '\r' <"$log" | grep -qx 'vantrel-vm: PASS' || fail "the VM did not say PASS (qemu's status $rc; console in $log)"

  # One architecture, one image library: the very bytes of the compare step.
  local reference=$root/compare/arm64
  if [ ! -s "$reference/out0001.jpg" ]; then
    say "the VM's frames were NOT compared with qemu-user's: run the compare step first"
    return
  fi
  diff <(tr -d '\r' <"$log" | sed -n 's/^vantrel-vm: md5 //p') <(cd "$reference" && md5sum out*.jpg) ||
    fail "the VM's frames differ from those vantrel made under qemu-user ($reference)"
  say "the VM's $n frames are byte for byte those made under qemu-user"
}

total=$SECONDS
for s in "${steps[@]}"; do timed "step $s" "step_$s"; done
say "all done in $((SECONDS - total)) s: ${steps[*]}"
