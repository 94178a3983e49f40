"""An independent reader: Pillow opens the 24-, 32- and 8-bit files our
plug-in writes (through the reference host) and sees the pixels we meant."""
import os
import random
import subprocess
import sys
import tempfile

from PIL import Image

host = sys.argv[1]
random.seed(4)
failures = 0
with tempfile.TemporaryDirectory() as work:
    w, h = 37, 11
    src = Image.new("RGB", (w, h))
    px = [(random.randrange(256), random.randrange(256), random.randrange(256)) for _ in range(w * h)]
    # A few flat stretches so the 8-bit saves have runs to encode.
    for i in range(0, len(px), 5):
        px[i] = px[i - 1] if i else px[i]
    src.putdata(px)
    src_path = os.path.join(work, "src.bmp")
    src.save(src_path)  # Pillow writes a plain 24-bit BMP: our loader reads it
    for bits, extra in (("24", []), ("32", []), ("8", []), ("8", ["--rle"])):
        out = os.path.join(work, f"out{bits}{''.join(extra)}.bmp")
        subprocess.run([host, "convert", src_path, out, "--bits", bits, *extra], check=True)
        im = Image.open(out)
        got = list(im.convert("RGB").getdata())
        if bits in ("24", "32"):
            ok = got == px
        else:
            # 8-bit saves group colours by the top two bits of each byte: each pixel
            # becomes the first colour of its class met in the image (all pixels
            # are opaque, so none falls in the all-dark class of entry 0).
            first = {}
            for p in px:
                first.setdefault(tuple(c >> 6 for c in p), p)
            want = [first[tuple(c >> 6 for c in p)] for p in px]
            ok = got == want
        print(f"{bits}-bit {' '.join(extra)}: {im.format} mode {im.mode} {'same pixels' if ok else 'DIFFERENT PIXELS'}")
        failures += 0 if ok else 1
sys.exit(1 if failures else 0)
