#!/usr/bin/env python3
"""The video's benchmark: vantrel --video against the ffmpeg command line
that makes the same show (the same pictures, holds, transitions, ending and
encoder at a quality that keeps the photos).

    bench/video.py [--size pal|720p|1080p|2160p] [--motion] [--memory STILLS] [VANTREL] [ROUNDS]

In PAL (the default here) the show is of 12 slides, made from the kit's
frames; in HD, of the 10 corpus stills, ffmpeg scaling each photo into its
box in the frame with its Lanczos filter and padding it with black.
VANTREL defaults to build/release/vantrel. Each round runs both, one after
the other, alternating which goes first; the figures are medians. vantrel's
render is its --video run less a run that makes the kit alone; ffmpeg's is
the whole video. Rates are frames a second of each show. Quality is each
video's held slides against a reference: PSNR of the luma of each slide's
middle frame alone on screen against the luma of its out000N.jpg (in PAL,
brought to the video's limited range) or of the photo reduced into its box
by a third party's Lanczos filter, ImageMagick's (in HD), the mean and the
worst slide, and the video stream's bit rate. The ffmpeg command is printed once.

--motion makes both shows move: vantrel's with --motion, ffmpeg's with its
zoompan filter on every slide (the photo scaled by Lanczos to a fifth more
than its box, zoomed in by a tenth over the slide's time on screen), both
with vantrel's encoder settings for a moving show (x264 superfast with
its macroblock tree over a lookahead of 10, CRF 20, tune stillimage).
Held slides move, so no PSNR is taken; instead each program shows one
still of four soft dots (4000 x 3000) at 1080p, and the dots are tracked
through the slide's time alone on screen: the RMS of the second difference
of their paths (px/frame^2), and the largest step against the way a dot
goes. This needs numpy.

--memory STILLS instead runs vantrel --video once on that many stills (the
corpus stills of 12 megapixels or more, linked in turn) and reports the
peak of the memory all its processes hold together (their proportional set
sizes, summed, sampled every 20 ms)."""
import math, os, re, shutil, statistics, subprocess, sys, tempfile, time

here = os.path.dirname(os.path.abspath(__file__))
args = sys.argv[1:]
size, memorystills, motion = "pal", 0, False
while args and args[0].startswith("--"):
    if args[0] == "--size":
        size, args = args[1], args[2:]
    elif args[0] == "--motion":
        motion, args = True, args[1:]
    elif args[0] == "--memory":
        memorystills, args = int(args[1]), args[2:]
    else:
        sys.exit("usage: bench/video.py [--size pal|720p|1080p|2160p] [--motion] [--memory STILLS] [VANTREL] [ROUNDS]")
vantrel = os.path.abspath(args[0] if args else os.path.join(here, "..", "build", "release", "vantrel"))
rounds = int(args[1]) if len(args) > 1 else 7
corpus = os.path.join(here, "..", "..", "shared", "corpus")
hd = size != "pal"
if motion and not hd:
    sys.exit("bench/video.py: --motion compares HD shows (ffmpeg's zoompan on the photos): give an HD --size")
slides = 10 if hd else 12
width, height = {"pal": (720, 576), "720p": (1280, 720), "1080p": (1920, 1080), "2160p": (3840, 2160)}[size]
rate = 25
# timeline.h's: the title card, its dissolve, a slide's hold (slide 1's twice),
# the sparks' frames of slide 1; render.h's ending.
titleframes, titledissolve, exposition, effectlast, endingframes = 101, 10, 150, 50, 75

# The rows of the script's transition lines, and the xfade transition of each
# (as vantrel renders them).
rowprefixes = ["Dissolve(video,video", "Wipe(video,video", "Wipe(video,video", "Wipe(video,video", "Wipe(video,video",
               "FuzzyWipe", "FuzzyWipe", "FuzzyWipe", "FuzzyWipe", "TransFunnel", "TransMarbles", "TransSprite",
               "TransSprite", "TransFlipTurn", "TransDisco", "TransSlantRollIn", "TransPaint", "TransPeel",
               "TransTwinDoors", "TransShuffle", "TransShuffle", "TransCrumple", "TransScratch"]
xfade = ["fade", "wipeleft", "wiperight", "wipeup", "wipedown", "smoothleft", "smoothright", "smoothup", "smoothdown",
         "squeezeh", "circleopen", "slideright", "slideleft", "zoomin", "radial", "diagbr", "dissolve", "wipetl",
         "vertopen", "hlslice", "hrslice", "pixelize", "hblur"]
# vantrel's encoder settings for a moving show (src/video/mux.cc's).
movingencoder = ["-preset", "superfast", "-x264-params", "mbtree=1:rc-lookahead=10", "-crf", "20"]
directions = {'"left"': 0, '"right"': 1, '"up"': 2, '"down"': 3}


def rows(script):
    found = []
    for line in script.splitlines():
        m = re.match(r'video=(\w+)\(video, ?video\d+,(.*)\)$', line)
        if not m:
            continue
        name, rest = m.group(1), m.group(2)
        if name == "Dissolve": found.append(1)
        elif name == "Wipe": found.append(2 + directions[rest.split(",")[-1]])
        elif name == "FuzzyWipe": found.append(6 + directions[rest.split(",")[-1]])
        elif name == "TransSprite": found.append(12 if '"right"' in rest else 13)
        elif name == "TransShuffle": found.append(20 if '"left"' in rest else 21)
        else: found.append(1 + rowprefixes.index(name))
    return found


def frames(row):
    return 6 if row in (12, 13) else 75 if row == 14 else 20


def timeline(rowlist):
    """Each part's start, hold and overlaps (part 0 the title card), and the
    show's length, as timeline.cc counts them."""
    holds = [titleframes, 2 * exposition] + [exposition] * (len(rowlist))
    overlaps = [titledissolve] + [frames(r) for r in rowlist] + [0]
    starts, at = [], 0
    for part, hold in enumerate(holds):
        starts.append(at)
        at += hold - overlaps[part]
    return starts, holds, overlaps, at


def heldframes(rowlist):
    """The middle frame of each slide's time alone on screen (after slide 1's
    sparks, before the ending), by slide number; a slide never alone has none."""
    starts, holds, overlaps, total = timeline(rowlist)
    middles = {}
    for k in range(1, len(holds)):
        first = starts[k] + overlaps[k - 1] + (effectlast + 1 if k == 1 else 0)
        last = min(starts[k] + holds[k] - overlaps[k], total - endingframes)
        if first < last:
            middles[k] = (first + last) // 2
    return middles


def boxof(photo):
    """The photo's box in the frame, as vantrel rounds it (slide/picture.h's
    boxof)."""
    w, h = map(int, subprocess.run(["identify", "-format", "%w %h", photo], check=True, capture_output=True,
                                   text=True).stdout.split())
    if w * height >= h * width:
        return width, max(1, (2 * width * h + w) // (2 * w))
    return max(1, (2 * height * w + h) // (2 * h)), height


def boxed(photo, hold):
    """ffmpeg's filters that bring the photo into its box in an HD frame (in
    motion, zoomed in by a tenth over its hold), and the colours vantrel
    gives it."""
    colours = "out_color_matrix=bt709:out_range=tv"
    if not motion:
        return ("scale=%d:%d:force_original_aspect_ratio=decrease:flags=lanczos:%s,"
                "pad=%d:%d:(ow-iw)/2:(oh-ih)/2,setsar=1,format=yuv420p" % (width, height, colours, width, height))
    bw, bh = boxof(photo)
    return ("scale=%d:%d:flags=lanczos:%s,zoompan=z='1+0.1*on/%d':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=%d:"
            "s=%dx%d:fps=25,pad=%d:%d:(ow-iw)/2:(oh-ih)/2,setsar=1,format=yuv420p" %
            (bw * 6 // 5, bh * 6 // 5, colours, hold - 1, hold, bw, bh, width, height))


def ffmpegcommand(folder, rowlist, title, out):
    inputs = ["-f", "lavfi", "-i", "color=c=black:s=%dx%d:r=25:d=4.04" % (width, height)]
    for k in range(1, slides + 1):
        hold = 300 if k == 1 else 150
        picture = "DSC%04d.JPG" % k if hd else "out%04d.jpg" % k
        still = [] if motion else ["-loop", "1", "-framerate", "25", "-t", "%.2f" % (hold / 25)]
        inputs += still + ["-i", os.path.join(folder, picture)]
    aspect = "1" if hd else "16/15"
    graph = ["[0]drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf:text='%s':fontsize=%d:"
             "fontcolor=white:x=(w-text_w)/2:y=(h-text_h)/2,setsar=%s[p0]" % (title, 32 * height // 576, aspect)]
    for k in range(1, slides + 1):
        graph.append("[%d]%s[p%d]" % (k, boxed(os.path.join(folder, "DSC%04d.JPG" % k), 300 if k == 1 else 150)
                                       if hd else "scale=out_range=tv,format=yuv420p,setsar=16/15", k))
    start, last, length = 0, "p0", 101
    overlaps = [(10, "fade")] + [(frames(r), xfade[r - 1]) for r in rowlist]
    for k in range(1, slides + 1):
        overlap, name = overlaps[k - 1]
        start += length - overlap
        graph.append("[%s][p%d]xfade=transition=%s:duration=%.2f:offset=%.2f[x%d]" %
                     (last, k, name, overlap / 25, start / 25, k))
        last, length = "x%d" % k, (300 if k == 1 else 150)
    total = timeline(rowlist)[3]
    graph.append("[%s]fade=t=out:st=%.2f:d=%.2f[show]" % (last, (total - endingframes) / 25, endingframes / 25))
    colours = ["-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709"] if hd else []
    encoder = movingencoder if motion else ["-preset", "slow", "-crf", "14"]
    return (["ffmpeg", "-v", "error", "-y"] + inputs + ["-filter_complex", ";".join(graph), "-map", "[show]",
            "-c:v", "libx264"] + encoder + ["-tune", "stillimage", "-pix_fmt", "yuv420p",
            "-color_range", "tv"] + colours + ["-r", "25", out])


def timed(command, cwd):
    began = time.monotonic()
    subprocess.run(command, cwd=cwd, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return time.monotonic() - began


def lumas(video, numbers):
    """The luma planes of the video's frames of those numbers, in order."""
    select = "+".join("eq(n\\,%d)" % n for n in sorted(numbers))
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", video, "-vf", "select=" + select, "-vsync", "0",
                          "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], check=True, capture_output=True).stdout
    size = width * height * 3 // 2
    return [raw[i * size:i * size + width * height] for i in range(len(raw) // size)]


def kitluma(jpeg):
    """The luma of a kit frame, full range as JPEG keeps it."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", jpeg, "-f", "rawvideo", "-pix_fmt", "yuvj444p", "-"],
                         check=True, capture_output=True).stdout
    return raw[:width * height]


def boxluma(photo):
    """The luma of the photo reduced into its box by a third party's filter
    (ImageMagick's Lanczos, of neither contender), padded with black, in the
    video's colours."""
    bw, bh = boxof(photo)
    reduced = subprocess.run(["convert", photo, "-auto-orient", "-filter", "Lanczos", "-resize", "%dx%d!" % (bw, bh),
                              "png:-"], check=True, capture_output=True).stdout
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", "-", "-vf",
                          "scale=out_color_matrix=bt709:out_range=tv,pad=%d:%d:(ow-iw)/2:(oh-ih)/2" % (width, height),
                          "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], input=reduced, check=True,
                         capture_output=True).stdout
    return raw[:width * height]


def quality(video, folder, rowlist):
    """PSNR-Y of each held slide against its kit frame: the mean and the
    worst; and the video stream's bit rate in Mbit/s."""
    middles = heldframes(rowlist)
    got = lumas(video, middles.values())
    scores = []
    for (k, _), luma in zip(sorted(middles.items(), key=lambda kv: kv[1]), got):
        if hd:
            reference = boxluma(os.path.join(folder, "DSC%04d.JPG" % k))
            error = sum((v - r) ** 2 for v, r in zip(luma, reference)) / len(luma)
        else:
            reference = kitluma(os.path.join(folder, "out%04d.jpg" % k))
            # The kit's full range in the video's: 16 + 219/255 of it.
            error = sum((v - 16 - r * 219 / 255) ** 2 for v, r in zip(luma, reference)) / len(luma)
        scores.append(10 * math.log10(255 ** 2 / max(error, 1e-10)))
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "stream=bit_rate",
                            "-of", "csv=p=0", video], check=True, capture_output=True, text=True).stdout.split()
    return statistics.mean(scores), min(scores), int(probe[0]) / 1e6


def smoothness():
    """How smoothly each program moves four soft dots: the RMS of their
    paths' second difference and the largest step back, for each."""
    import numpy
    global width, height
    width, height = 1920, 1080
    work = tempfile.mkdtemp(prefix="vantrel-video-smooth-")
    try:
        y, x = numpy.mgrid[0:3000, 0:4000]
        dots = [(1400, 1050), (2600, 1050), (1400, 1950), (2600, 1950)]
        still = 60 + sum(150 * numpy.exp(-((x - a) ** 2 + (y - b) ** 2) / (2 * 12.0 ** 2)) for a, b in dots)
        subprocess.run(["convert", "-size", "4000x3000", "-depth", "8", "gray:-", "-quality", "95",
                        os.path.join(work, "DSC0001.JPG")], input=numpy.uint8(still).tobytes(), check=True)
        timed([vantrel, "--video", "show.mp4", "--size", "1080p", "--motion", "."], work)
        timed(["ffmpeg", "-v", "error", "-i", "DSC0001.JPG", "-vf", boxed(os.path.join(work, "DSC0001.JPG"), 300),
               "-c:v", "libx264"] + movingencoder + ["-tune", "stillimage", "zoompan.mp4"], work)
        # Slide 1 alone on screen: after its sparks, before the ending.
        starts, holds, overlaps, total = timeline([])
        first, last = starts[1] + overlaps[0] + effectlast + 5, total - endingframes
        for name, video, frames in (("vantrel", "show.mp4", range(first, last)), ("ffmpeg ", "zoompan.mp4",
                                                                                   range(5, 295))):
            raw = subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(work, video), "-f", "rawvideo",
                                  "-pix_fmt", "gray", "-"], check=True, capture_output=True).stdout
            movie = numpy.frombuffer(raw, numpy.uint8).reshape(-1, 1080, 1920).astype(numpy.float64)
            paths = []
            for f in frames:
                # Each dot as the centre of the brightness of its quarter of
                # the frame, above the grey.
                picture, seen = numpy.maximum(movie[f] - 85, 0), []
                for qy in (slice(0, 540), slice(540, 1080)):
                    for qx in (slice(0, 960), slice(960, 1920)):
                        part = picture[qy, qx]
                        yy, xx = numpy.mgrid[qy, qx]
                        seen.append(((part * xx).sum() / part.sum(), (part * yy).sum() / part.sum()))
                paths.append(seen)
            p = numpy.array(paths)  # frame, dot, x|y
            second = p[2:] - 2 * p[1:-1] + p[:-2]
            rough = numpy.sqrt((second ** 2).sum(axis=2).mean())
            steps, way = p[1:] - p[:-1], (p[7:] - p[:-7]) / 7
            speed = numpy.linalg.norm(way, axis=2)
            along = (steps[3:3 + len(way)] * way).sum(axis=2) / numpy.maximum(speed, 1e-9)
            back = max(0.0, -along[speed >= 0.1].min()) if (speed >= 0.1).any() else 0.0
            print("%s: %d frames, dots moved %.1f px, second difference RMS %.3f px/frame^2, largest step back "
                  "%.3f px" % (name, len(p), numpy.linalg.norm(p[-1] - p[0], axis=1).mean(), rough, back))
    finally:
        shutil.rmtree(work)


def memory():
    """The peak of what vantrel --video's processes hold together."""
    work = tempfile.mkdtemp(prefix="vantrel-video-memory-")
    try:
        big = [os.path.join(corpus, n) for n in sorted(os.listdir(corpus)) if n.endswith(".jpg") and
               eval(n.rsplit("_", 1)[1].split(".")[0].replace("x", "*")) >= 12e6]
        for k in range(1, memorystills + 1):
            os.symlink(big[(k - 1) % len(big)], os.path.join(work, "DSC%04d.JPG" % k))
        run = subprocess.Popen([vantrel, "--video", "show.mp4", "--size", size] + (["--motion"] if motion else []) + ["."], cwd=work,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        peak = 0
        while run.poll() is None:
            tree, held = [run.pid], 0
            while tree:
                pid = tree.pop()
                try:
                    with open("/proc/%d/smaps_rollup" % pid) as f:
                        held += sum(int(l.split()[1]) for l in f if l.startswith("Pss:"))
                    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                        tree += [int(c) for c in f.read().split()]
                except OSError:
                    pass
            peak = max(peak, held)
            time.sleep(0.02)
        print("%d stills of %s at %s%s: status %d, peak of all its processes together %.0f MB" %
              (memorystills, ", ".join(os.path.basename(b) for b in big), size, ", moving" if motion else "",
               run.returncode, peak / 1000))
    finally:
        shutil.rmtree(work)


def main():
    if memorystills:
        return memory()
    work = tempfile.mkdtemp(prefix="vantrel-video-bench-")
    try:
        stills = sorted(os.path.join(corpus, n) for n in os.listdir(corpus) if n.endswith(".jpg")) \
            if os.path.isdir(corpus) else []
        for k in range(1, slides + 1):
            name = os.path.join(work, "DSC%04d.JPG" % k)
            if stills:
                shutil.copy(stills[(k - 1) % len(stills)], name)
            else:
                subprocess.run(["convert", "-size", "1600x1200", "plasma:fractal", name], check=True)
        print("stills:", "the corpus" if stills else "synthesized (no corpus)")
        timed([vantrel, "."], work)
        with open(os.path.join(work, "anim.avs")) as f:
            rowlist = rows(f.read())
        assert len(rowlist) == slides - 1, rowlist
        ff = ffmpegcommand(work, rowlist, os.path.basename(work), os.path.join(work, "ffmpeg.mp4"))
        print("ffmpeg command:", " ".join("'%s'" % w if (" " in w or ";" in w) else w for w in ff))
        # Every vantrel run draws its rows afresh, so each run's show is
        # counted from its own script, and ffmpeg makes the show of the
        # latest; times are compared per frame. vantrel's render is its
        # --video run less a run that makes the kit alone.
        showframes = lambda r: timeline(r)[3]
        kit, ours, theirs, ratios, ourq, theirq = [], [], [], [], [], []
        for r in range(rounds):
            ffframes, ffrows = showframes(rowlist), rowlist
            steps = [("k", [vantrel, "."]),
                     ("v", [vantrel, "--video", "show.mp4", "--size", size] + (["--motion"] if motion else []) + ["."]),
                     ("f", ff)]
            if r % 2:
                steps.reverse()
            got = {}
            for key, cmd in steps:
                got[key] = timed(cmd, work)
                if key == "v":
                    with open(os.path.join(work, "anim.avs")) as f:
                        got["rows"] = rows(f.read())
                    if not motion:
                        ourq.append(quality(os.path.join(work, "show.mp4"), work, got["rows"]))
                if key == "f" and not motion:
                    theirq.append(quality(os.path.join(work, "ffmpeg.mp4"), work, ffrows))
            render = max(got["v"] - got["k"], 1e-3)
            vfps, ffps = showframes(got["rows"]) / render, ffframes / got["f"]
            kit.append(got["k"]), ours.append(vfps), theirs.append(ffps), ratios.append(ffps / vfps)
            rowlist = got["rows"]
            ff = ffmpegcommand(work, rowlist, os.path.basename(work), os.path.join(work, "ffmpeg.mp4"))
        print("CPUs: %d, rounds: %d" % (len(os.sched_getaffinity(0)), rounds))
        print("kit alone: median %.2f s" % statistics.median(kit))
        print("vantrel's render: median %.0f frames/s (%.0f ... %.0f)" % (statistics.median(ours), min(ours), max(ours)))
        print("ffmpeg:           median %.0f frames/s (%.0f ... %.0f)" %
              (statistics.median(theirs), min(theirs), max(theirs)))
        print("vantrel's time per frame / ffmpeg's, round by round: median %.3f (%.3f ... %.3f)" %
              (statistics.median(ratios), min(ratios), max(ratios)))
        for name, q in (("vantrel", ourq), ("ffmpeg ", theirq)) if not motion else ():
            print("%s held slides: PSNR-Y mean %.2f dB (rounds %.2f ... %.2f), worst %.2f dB (%.2f ... %.2f), "
                  "video %.2f Mbit/s (%.2f ... %.2f)" %
                  (name, statistics.median(x[0] for x in q), min(x[0] for x in q), max(x[0] for x in q),
                   statistics.median(x[1] for x in q), min(x[1] for x in q), max(x[1] for x in q),
                   statistics.median(x[2] for x in q), min(x[2] for x in q), max(x[2] for x in q)))
    finally:
        shutil.rmtree(work)
    if motion:
        smoothness()


main()
