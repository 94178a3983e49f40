"""Other readers keep the transparency our 32-bit saves write: Pillow,
gdk-pixbuf and ImageMagick read the file a save of pictures with alpha makes
(through the reference host) with the very pixels, alpha included, that our
own load gives. Opaque pictures stay the 40-byte files every reader knows."""
import os
import subprocess
import sys
import tempfile

import gi
from PIL import Image

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

host, suite = sys.argv[1], sys.argv[2]


def ours(path, work):
    raw_path = os.path.join(work, "ours.raw")
    subprocess.run([host, "load", path, "-o", raw_path], check=True)
    raw = open(raw_path, "rb").read()
    return [(raw[i + 2], raw[i + 1], raw[i], raw[i + 3]) for i in range(0, len(raw), 4)]


def pillow(path):
    return list(Image.open(path).convert("RGBA").getdata())


def gdk_pixbuf(path):
    pb = GdkPixbuf.Pixbuf.new_from_file(path)
    w, h, stride, n = pb.get_width(), pb.get_height(), pb.get_rowstride(), pb.get_n_channels()
    data = pb.get_pixels()
    return [tuple(data[y * stride + x * n:y * stride + x * n + 3]) + ((data[y * stride + x * n + 3],) if n == 4 else (255,))
            for y in range(h) for x in range(w)]


def imagemagick(path):
    # /usr/bin/convert is ImageMagick's own (a shell's PATH may put another first).
    out = subprocess.run(["/usr/bin/convert", path, "-depth", "8", "rgba:-"], capture_output=True, check=True).stdout
    return [tuple(out[i:i + 4]) for i in range(0, len(out), 4)]


failures = 0
with tempfile.TemporaryDirectory() as work:
    for name, info_size in (("q/rgba32-1.bmp", 108), ("q/rgba32-2.bmp", 108), ("g/rgb32.bmp", 40)):
        out = os.path.join(work, "out.bmp")
        subprocess.run([host, "convert", os.path.join(suite, name), out, "--bits", "32"], check=True)
        size = int.from_bytes(open(out, "rb").read()[14:18], "little")
        want = ours(out, work)
        alphas = len({a for *_, a in want})
        verdicts = []
        for reader in (pillow, gdk_pixbuf, imagemagick):
            same = reader(out) == want
            failures += 0 if same else 1
            verdicts.append(f"{reader.__name__} {'same' if same else 'DIFFERENT'}")
        if size != info_size:
            failures += 1
        print(f"{name}: {size}-byte header, {alphas} alpha levels: {', '.join(verdicts)}")
sys.exit(1 if failures else 0)
