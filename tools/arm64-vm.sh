#!/usr/bin/env bash
# arm64-vm.sh BUILD [TESTBUILD]: boots Debian's arm64 kernel in
# qemu-system-aarch64 with an initramfs holding BUILD's vantrel (a release
# build, sandbox on: the arm64-release preset) and its render program beside
# it, with every library they load (the render's, the media library's),
# busybox, the title card's font and the corpus
# stills; its /init (tools/arm64-vm-init.sh) runs vantrel on them, checks
# that its workers are in seccomp's filter mode and that every still became
# a frame, and prints PASS or FAIL. With TESTBUILD (the arm64 preset's), the
# frames must be byte for byte those its vantrel makes under qemu-user (one
# architecture, one image library). The sysroot and the corpus are the
# build's (VANTREL_SYSROOT, VANTREL_CORPUS).
set -euo pipefail
fail() { echo "arm64-vm.sh: FAILED: $*" >&2; exit 1; }
[ $# = 1 ] || [ $# = 2 ] || fail "usage: tools/arm64-vm.sh BUILD [TESTBUILD]"
build=$(realpath "$1") testbuild=${2:+$(realpath "$2")}
bin=$build/vantrel
tools=$(dirname "$(realpath "$0")")
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
sysroot=$(cached VANTREL_SYSROOT) corpus=$(cached VANTREL_CORPUS)
[ -x "$bin" ] && [ -x "$build/vantrel-render" ] && [ -d "$sysroot" ] ||
  fail "no arm64 build in $build: cmake --workflow --preset arm64-release"
[ -d "$corpus" ] || fail "no corpus at $corpus: the VM runs vantrel on its stills"
vm=$build/vm debs=${sysroot%/sysroot}/debs triplet=aarch64-linux-gnu
mkdir -p "$vm" "$debs/kernel"

# Debian's current arm64 kernel: the package the metapackage depends on.
kpkg=$(apt-cache depends linux-image-arm64:arm64 | sed -n 's/^ *Depends: \(linux-image-[^:]*\):arm64$/\1/p' | head -n 1)
[ -n "$kpkg" ] || fail "cannot tell which kernel linux-image-arm64 depends on"
kdeb=$(apt-get download --print-uris "$kpkg:arm64" | awk '{print $2}')
if [ ! -s "$debs/kernel/$kdeb" ]; then
  rm -f "$debs/kernel"/*.deb
  (cd "$debs/kernel" && apt-get -q -o APT::Sandbox::User=root download "$kpkg:arm64")
fi
kernel=$vm/${kdeb%.deb}.vmlinuz
[ -s "$kernel" ] || dpkg-deb --fsys-tarfile "$debs/kernel/$kdeb" | tar -xO --wildcards './boot/vmlinuz-*' >"$kernel"

# The initramfs: busybox, vantrel and its render program beside it (as in
# a build tree) and the libraries they load, the font where
# Debian's fonts-dejavu-core puts it, the stills (as DSC0001.JPG ..., as the
# corpus test names them).
tree=$vm/initramfs
rm -rf "$tree" "$vm/qemu-user"
mkdir -p "$tree"/{bin,dev,proc,sys,tmp,corpus,photos,lib/$triplet} "$vm/qemu-user"
cp "$sysroot/bin/busybox" "$tree/bin/busybox"
ln -s busybox "$tree/bin/sh"
cp "$bin" "$tree/bin/vantrel"
cp "$build/vantrel-render" "$tree/bin/vantrel-render"
cp -L "$sysroot/lib/ld-linux-aarch64.so.1" "$tree/lib/"
libs=$("$tools/arm64-sysroot.sh" --needs "${sysroot%/sysroot}" "$bin" "$build/vantrel-render" "$tree/bin/busybox")
for lib in $libs; do cp -L "$lib" "$tree/lib/$triplet/"; done
font=usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
mkdir -p "$tree/${font%/*}"
cp "$sysroot/$font" "$tree/$font"
n=0
for f in "$corpus"/*.jpg "$corpus"/orientation/*.jpg; do
  n=$((n + 1))
  cp "$f" "$tree/corpus/$(printf 'DSC%04d.JPG' "$n")"
  ln -s "$tree/corpus/$(printf 'DSC%04d.JPG' "$n")" "$vm/qemu-user/"
done
cp "$tools/arm64-vm-init.sh" "$tree/init"
chmod 755 "$tree/init"
(cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0 | gzip -1) >"$vm/initramfs.cpio.gz"

log=$vm/console.log
echo "arm64-vm.sh: $n stills, $(wc -w <<<"$libs") libraries, $(du -sm "$vm/initramfs.cpio.gz" | cut -f1) MiB; booting $(basename "$kernel") in qemu-system-aarch64"
timeout --foreground -k 10 "${VANTREL_VM_TIMEOUT:-300}" qemu-system-aarch64 -machine virt -accel tcg,thread=multi \
  -cpu cortex-a57 -smp 2 -m 2048 -nographic -no-reboot -nic none -kernel "$kernel" -initrd "$vm/initramfs.cpio.gz" \
  -append "console=ttyAMA0 rdinit=/init panic=-1 loglevel=4" </dev/null 2>&1 | tee "$log" || true
tr -d '\r' <"$log" | grep -x 'vantrel-vm: PASS' >/dev/null || fail "the VM did not say PASS (console in $log)"
if [ -n "$testbuild" ]; then
  (cd "$vm/qemu-user" && "$testbuild/vantrel-launched" </dev/null >log 2>err) || fail "qemu-user: $(cat "$vm/qemu-user/err")"
  diff <(tr -d '\r' <"$log" | sed -n 's/^vantrel-vm: md5 //p') <(cd "$vm/qemu-user" && md5sum out*.jpg) ||
    fail "the VM's frames differ from those made under qemu-user"
  echo "arm64-vm.sh: the VM's $n frames are byte for byte those made under qemu-user"
fi
echo "arm64-vm.sh: the VM passed"
