#!/bin/sh
# /init of the arm64 VM that tools/arm64-vm.sh boots (busybox sh, as PID 1).
# The initramfs holds busybox, the release vantrel with the libraries it
# loads, the title card's font and the corpus stills as /corpus/DSC0001.JPG
# ... . This runs vantrel on them with its sandbox on, reads the status of
# vantrel's workers while they run, checks what the run made, prints
# renders the show of one still as a video, prints "vantrel-vm: PASS" or
# "vantrel-vm: FAIL" on the console and powers the machine off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

say() { echo "vantrel-vm: $*"; }
failures=
failed() { say "failed: $*"; failures="$failures $1"; }
finish() {
  if [ -z "$failures" ]; then verdict=PASS; else verdict="FAIL ($failures )"; fi
  say "$verdict"
  sync
  poweroff -f
}

say "kernel $(uname -r) on $(uname -m), $(grep -c ^processor /proc/cpuinfo) CPUs," \
  "$(awk '/MemTotal/ {print int($2 / 1024)}' /proc/meminfo) MiB"
grep -q '^Seccomp:' /proc/self/status || failed no-seccomp-in-the-kernel
[ -s /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf ] || failed no-font

# The stills are linked into a folder, as the corpus test does.
mkdir -p /photos
stills=0
for f in /corpus/DSC*.JPG; do
  ln -s "$f" "/photos/${f##*/}"
  stills=$((stills + 1))
done
say "$stills stills"

cd /photos
start=$(cut -d' ' -f1 /proc/uptime)
vantrel >/tmp/out 2>/tmp/err &
pid=$!

# While it runs: every worker (a child of vantrel) must reach seccomp's
# filter mode (2) before its first still; it is forked without it, so a
# worker counts once it has been seen in mode 2.
seen=
sandboxed=
while [ -d "/proc/$pid" ] && ! grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null; do
  for w in $(cat "/proc/$pid/task/$pid/children" 2>/dev/null); do
    mode=$(sed -n 's/^Seccomp:[[:space:]]*//p' "/proc/$w/status" 2>/dev/null)
    [ -n "$mode" ] || continue
    case " $seen " in *" $w "*) ;; *) seen="$seen $w" ;; esac
    if [ "$mode" = 2 ]; then
      case " $sandboxed " in *" $w "*) ;; *)
        sandboxed="$sandboxed $w"
        say "worker $w: Seccomp: $mode $(sed -n 's/^NoNewPrivs:[[:space:]]*/NoNewPrivs: /p' "/proc/$w/status" 2>/dev/null)"
        ;;
      esac
    fi
  done
  sleep 0.1
done
wait "$pid"
status=$?
end=$(cut -d' ' -f1 /proc/uptime)
say "vantrel exited with status $status after $(awk "BEGIN {print $end - $start}") s"

[ "$status" = 0 ] || failed status
if [ -s /tmp/err ]; then
  failed stderr
  say "its standard error:"
  head -c 4000 /tmp/err
fi
for w in $seen; do
  case " $sandboxed " in *" $w "*) ;; *) failed "worker-$w-not-seen-sandboxed" ;; esac
done
[ -n "$seen" ] || failed no-worker-seen
# Every still became a frame, in order, and nothing more.
n=1
while [ "$n" -le "$stills" ]; do
  frame=$(printf 'out%04d.jpg' "$n")
  if [ ! -s "$frame" ]; then failed "no-$frame"; fi
  n=$((n + 1))
done
[ ! -e "$(printf 'out%04d.jpg' "$n")" ] || failed extra-frame
grep -qx "Counter=$((stills + 1))" /tmp/out || failed counter
grep -qx 'Run finished..press any key!' /tmp/out || failed unfinished
[ -s anim.avs ] || failed no-script
say "frames: $(ls out*.jpg 2>/dev/null | wc -l) of $stills"
md5sum out*.jpg | sed 's/^/vantrel-vm: md5 /'

# The show of one still rendered as a video, its render sandboxed too.
mkdir -p /one
ln -s /corpus/DSC0001.JPG /one/DSC0001.JPG
start=$(cut -d' ' -f1 /proc/uptime)
vantrel --video /tmp/show.mp4 /one </dev/null >/tmp/out 2>/tmp/err
status=$?
end=$(cut -d' ' -f1 /proc/uptime)
say "vantrel --video exited with status $status after $(awk "BEGIN {print $end - $start}") s"
[ "$status" = 0 ] || { failed video-status; head -c 4000 /tmp/err; }
[ "$(head -c 8 /tmp/show.mp4 2>/dev/null | tail -c 4)" = ftyp ] || failed no-video
say "video: $(wc -c </tmp/show.mp4 2>/dev/null) bytes"
finish
