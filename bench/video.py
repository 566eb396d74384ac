#!/usr/bin/env python3
"""The video's benchmark: vantrel --video against the ffmpeg command line
that makes the same show (the same frames, holds, transitions, encoder,
preset and quality), on a show of 12 slides.

    bench/video.py [VANTREL] [ROUNDS]

VANTREL defaults to build/release/vantrel. Each round runs both, one after
the other, alternating which goes first; the figures are medians. vantrel's
render is its --video run less a run that makes the kit alone; ffmpeg's is
the video from the kit's frames. Rates are frames a second of each show. The ffmpeg command is printed once."""
import os, re, shutil, statistics, subprocess, sys, tempfile, time

here = os.path.dirname(os.path.abspath(__file__))
vantrel = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "release", "vantrel"))
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
corpus = os.path.join(here, "..", "..", "shared", "corpus")
slides = 12

# The rows of the script's transition lines, and the xfade transition of each
# (as vantrel renders them).
rowprefixes = ["Dissolve(video,video", "Wipe(video,video", "Wipe(video,video", "Wipe(video,video", "Wipe(video,video",
               "FuzzyWipe", "FuzzyWipe", "FuzzyWipe", "FuzzyWipe", "TransFunnel", "TransMarbles", "TransSprite",
               "TransSprite", "TransFlipTurn", "TransDisco", "TransSlantRollIn", "TransPaint", "TransPeel",
               "TransTwinDoors", "TransShuffle", "TransShuffle", "TransCrumple", "TransScratch"]
xfade = ["fade", "wipeleft", "wiperight", "wipeup", "wipedown", "smoothleft", "smoothright", "smoothup", "smoothdown",
         "squeezeh", "circleopen", "slideright", "slideleft", "zoomin", "radial", "diagbr", "dissolve", "wipetl",
         "vertopen", "hlslice", "hrslice", "pixelize", "hblur"]
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


def ffmpegcommand(folder, rowlist, title, out):
    inputs = ["-f", "lavfi", "-i", "color=c=black:s=720x576:r=25:d=4.04"]
    for k in range(1, slides + 1):
        hold = 300 if k == 1 else 150
        inputs += ["-loop", "1", "-framerate", "25", "-t", "%.2f" % (hold / 25), "-i",
                   os.path.join(folder, "out%04d.jpg" % k)]
    graph = ["[0]drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf:text='%s':fontsize=32:"
             "fontcolor=white:x=(w-text_w)/2:y=(h-text_h)/2,setsar=16/15[p0]" % title]
    for k in range(1, slides + 1):
        graph.append("[%d]scale=out_range=tv,format=yuv420p,setsar=16/15[p%d]" % (k, k))
    start, last, length = 0, "p0", 101
    overlaps = [(10, "fade")] + [(frames(r), xfade[r - 1]) for r in rowlist]
    for k in range(1, slides + 1):
        overlap, name = overlaps[k - 1]
        start += length - overlap
        graph.append("[%s][p%d]xfade=transition=%s:duration=%.2f:offset=%.2f[x%d]" %
                     (last, k, name, overlap / 25, start / 25, k))
        last, length = "x%d" % k, (300 if k == 1 else 150)
    return (["ffmpeg", "-v", "error", "-y"] + inputs + ["-filter_complex", ";".join(graph), "-map", "[%s]" % last,
            "-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-pix_fmt", "yuv420p", "-r", "25", out])


def timed(command, cwd):
    began = time.monotonic()
    subprocess.run(command, cwd=cwd, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return time.monotonic() - began


def main():
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
        showframes = lambda r: 91 + 300 + 150 * (slides - 1) - sum(frames(x) for x in r)
        kit, ours, theirs, ratios = [], [], [], []
        for r in range(rounds):
            ffframes = showframes(rowlist)
            steps = [("k", [vantrel, "."]), ("v", [vantrel, "--video", "show.mp4", "."]), ("f", ff)]
            if r % 2:
                steps.reverse()
            got = {}
            for key, cmd in steps:
                got[key] = timed(cmd, work)
                if key == "v":
                    with open(os.path.join(work, "anim.avs")) as f:
                        got["rows"] = rows(f.read())
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
    finally:
        shutil.rmtree(work)


main()
