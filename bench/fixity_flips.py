#!/usr/bin/env python3
"""How many single-bit flips in HUFY payloads verify names, with and without
the fixity file.

    bench/fixity_flips.py [--flips N] [--seed S] [--tool build/bin/kestrun] [CLIP]

Encodes the first frames of CLIP (the built-in sample by default), then flips
one random bit in the payload of one random HUFY frame at a time and runs
`kestrun verify --json` on the damaged archive twice: with its fixity file
beside it and without. Prints the share of flips whose frame verify names.
"""
import argparse
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
parser = argparse.ArgumentParser()
parser.add_argument("--flips", type=int, default=1000)
parser.add_argument("--seed", type=int, default=1)
parser.add_argument("--frames", type=int, default=6)
parser.add_argument("--tool", default=os.path.join(top, "build", "bin", "kestrun"))
parser.add_argument("clip", nargs="?", default=os.path.join(top, "samples", "city-720x405.mpg"))
options = parser.parse_args()

work = tempfile.mkdtemp(prefix="kestrun-flips-")
try:
    clip = os.path.join(work, "clip.mkv")
    archive = os.path.join(work, "archive.avi")
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", options.clip, "-frames:v", str(options.frames),
                    "-c:v", "ffv1", "-an", "-y", clip], check=True)
    subprocess.run([options.tool, "encode", "--quiet", clip, archive], check=True)
    data = open(archive, "rb").read()
    # The HUFY chunks: (payload offset, payload length, frame number).
    frames, number, at = [], 0, data.find(b"movi")
    while True:
        at = data.find(b"00dc", at)
        if at < 0:
            break
        size = struct.unpack_from("<I", data, at + 4)[0]
        if data[at + 8:at + 12] == b"YFUH":
            frames.append((at + 16, size - 8, number))
            number += 1
            at += 8 + size
        else:
            at += 4
    if not frames:
        sys.exit("no HUFY frames in the archive")
    fixed = os.path.join(work, "fixed.avi")
    bare = os.path.join(work, "bare.avi")
    shutil.copy(archive + ".framemd5", fixed + ".framemd5")
    rng = random.Random(options.seed)
    named = {"with": 0, "without": 0}
    for flip in range(options.flips):
        offset, length, frame = rng.choice(frames)
        bit = rng.randrange(length * 8)
        damaged = bytearray(data)
        damaged[offset + bit // 8] ^= 1 << (bit % 8)
        for path in (fixed, bare):
            with open(path, "wb") as out:
                out.write(damaged)
        for key, path in (("with", fixed), ("without", bare)):
            report = json.loads(subprocess.run([options.tool, "verify", "--json", "--threads", "1", path],
                                               capture_output=True, text=True).stdout)
            if any(d["frame"] == frame for d in report["damaged"]):
                named[key] += 1
    for key in ("with", "without"):
        print("%s the fixity file: verify names %d of %d flipped frames (%.1f %%)"
              % (key, named[key], options.flips, 100.0 * named[key] / options.flips))
finally:
    shutil.rmtree(work)
