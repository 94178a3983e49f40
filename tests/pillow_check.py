"""Independent readers check what the reference host and the plug-in write.

Pictures in every input type the host reads (a BMP Pillow wrote; PNG of each
colour type at 1 to 16 bits, with tRNS, palettes and interlacing, written here
byte by byte; PPM, PGM and PAM at 8 and 16 bits and odd maxvals) are converted
into each BMP kind (32, 24, 8 and 8 RLE bits, and gray through savegray).
Pillow reads each input (16-bit samples become 8 bits as round(v x 255 /
maxval): Pillow's own PPM rule; for 16-bit PNG, where Pillow keeps the high
byte, the samples written here decide and Pillow's bytes must be their high
bytes), then each BMP, whose pixels must be those of the input (8-bit saves:
the first colour of each of the indexer's classes), and the plug-in's load of
the BMP must give what Pillow sees in it. PNGs the host writes record sRGB and
the BMP's resolution. With --inputs DIR the inputs are only written (the
Windows lanes convert them too).

usage: pillow_check.py HOST | --inputs DIR
"""
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

from PIL import Image

W, H = 23, 13  # odd sizes: BMP rows are padded, PNG rows of 1 to 4 bits end inside a byte


def scale(v, maxval):
    return (v * 255 + maxval // 2) // maxval


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def filtered(rows, bpp):
    """Rows filtered with types 0 to 4 in turn, so every decoder's unfiltering is used."""
    out, prev = b"", bytes(len(rows[0])) if rows else b""
    for y, row in enumerate(rows):
        kind, f = y % 5, bytearray()
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            paeth = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
            f.append((x - (0, a, b, (a + b) // 2, paeth)[kind]) & 255)
        out += bytes([kind]) + bytes(f)
        prev = row
    return out


def png(path, samples, depth, colour, plte=b"", trns=b"", interlace=False):
    """samples: rows of per-pixel sample tuples, as stored (indices for a palette)."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    bpp = max(1, channels * depth // 8)

    def pack(row):
        if depth >= 8:
            return b"".join(struct.pack(">H" if depth == 16 else "B", v) for px in row for v in px)
        bits = "".join(format(px[0], "0%db" % depth) for px in row)
        bits += "0" * (-len(bits) % 8)
        return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))

    if interlace:  # Adam7: seven passes, each a small picture of its own
        data = b""
        for x0, y0, dx, dy in ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)):
            rows = [pack(samples[y][x0::dx]) for y in range(y0, H, dy) if x0 < W]
            data += filtered(rows, bpp) if rows else b""
    else:
        data = filtered([pack(r) for r in samples], bpp)
    body = chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, depth, colour, 0, 0, int(interlace)))
    body += chunk(b"gAMA", struct.pack(">I", 100000))  # not applied: levels are kept as stored
    body += (chunk(b"PLTE", plte) if plte else b"") + (chunk(b"tRNS", trns) if trns else b"")
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + body + chunk(b"IDAT", zlib.compress(data, 9)) + chunk(b"IEND", b""))


def pnm(path, samples, maxval, kind):
    pack = ">%dH" if maxval > 255 else "%dB"
    depth = len(samples[0][0])
    flat = [v for row in samples for px in row for v in px]
    if kind == "pam":
        tuple_type = ["GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"][depth - 1]
        head = "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\n# written by hand\nTUPLTYPE %s\nENDHDR\n" % (
            W, H, depth, maxval, tuple_type)
    else:
        head = "P%d\n# written by hand\n%d %d\n%d\n" % (5 if depth == 1 else 6, W, H, maxval)
    with open(path, "wb") as f:
        f.write(head.encode() + struct.pack(pack % len(flat), *flat))


def make_inputs(folder):
    """Writes the inputs; returns {name: (RGBA rows as the host should see them, how to check Pillow)}."""
    rnd = random.Random(24)
    made = {}

    def grid(make):
        rows = [[make(x, y) for x in range(W)] for y in range(H)]
        for row in rows:  # flat stretches, so the RLE saves have runs
            row[3:9] = [row[3]] * 6
        return rows

    def add(name, rgba, pillow="exact"):
        made[name] = (rgba, pillow)

    gray16 = grid(lambda x, y: (rnd.choice([0, 128, 129, 32896, 65535, rnd.randrange(65536)]),))
    level = lambda v: (v, v, v, 255)
    for depth in (1, 4, 8):
        s = grid(lambda x, y: (rnd.randrange(1 << depth),))
        png(os.path.join(folder, "gray%d.png" % depth), s, depth, 0)
        add("gray%d.png" % depth, [[level(p[0] * 255 // ((1 << depth) - 1)) for p in r] for r in s])
    s = grid(lambda x, y: (rnd.choice([7, 7, rnd.randrange(256)]),))
    png(os.path.join(folder, "gray8-trns.png"), s, 8, 0, trns=struct.pack(">H", 7))
    add("gray8-trns.png", [[(p[0],) * 3 + (0 if p[0] == 7 else 255,) for p in r] for r in s])
    png(os.path.join(folder, "gray16.png"), gray16, 16, 0)
    add("gray16.png", [[level(scale(p[0], 65535)) for p in r] for r in gray16], "16-bit gray")
    ga16 = grid(lambda x, y: (rnd.randrange(65536), rnd.choice([0, 65535, rnd.randrange(65536)])))
    png(os.path.join(folder, "ga16.png"), ga16, 16, 4)
    add("ga16.png", [[(scale(g, 65535),) * 3 + (scale(a, 65535),) for g, a in r] for r in ga16], "high bytes")
    ga8 = [[(g >> 8, a >> 8) for g, a in r] for r in ga16]
    png(os.path.join(folder, "ga8.png"), ga8, 8, 4)
    add("ga8.png", [[(g, g, g, a) for g, a in r] for r in ga8])

    colours = [(rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)) for _ in range(12)]
    alphas = [0, 128, 255, 40]
    s = grid(lambda x, y: (rnd.randrange(len(colours)),))
    plte = b"".join(bytes(c) for c in colours)
    png(os.path.join(folder, "palette4.png"), s, 4, 3, plte, bytes(alphas), interlace=True)
    add("palette4.png", [[colours[p[0]] + ((alphas + [255] * 12)[p[0]],) for p in r] for r in s])
    colours = [(rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)) for _ in range(200)]
    s = grid(lambda x, y: (rnd.randrange(len(colours)),))
    png(os.path.join(folder, "palette8.png"), s, 8, 3, b"".join(bytes(c) for c in colours))
    add("palette8.png", [[colours[p[0]] + (255,) for p in r] for r in s])

    rgba16 = grid(lambda x, y: tuple(rnd.choice([0, 128, 129, 32896, 65535, rnd.randrange(65536)]) for _ in range(4)))
    rgb16 = [[p[:3] for p in r] for r in rgba16]
    rgba8 = [[tuple(v >> 8 for v in p) for p in r] for r in rgba16]
    rgb8 = [[p[:3] for p in r] for r in rgba8]
    png(os.path.join(folder, "rgb8.png"), rgb8, 8, 2)
    add("rgb8.png", [[p + (255,) for p in r] for r in rgb8])
    png(os.path.join(folder, "rgb8-trns.png"), rgb8, 8, 2, trns=struct.pack(">3H", *rgb8[0][0]))
    add("rgb8-trns.png", [[p + (0 if p == rgb8[0][0] else 255,) for p in r] for r in rgb8])
    png(os.path.join(folder, "rgba8.png"), rgba8, 8, 6)
    add("rgba8.png", rgba8)
    png(os.path.join(folder, "rgb16.png"), rgb16, 16, 2)
    add("rgb16.png", [[tuple(scale(v, 65535) for v in p) + (255,) for p in r] for r in rgb16], "high bytes")
    png(os.path.join(folder, "rgba16.png"), rgba16, 16, 6, interlace=True)
    add("rgba16.png", [[tuple(scale(v, 65535) for v in p) for p in r] for r in rgba16], "high bytes")

    # PNM: Pillow reads PPM and PGM (scaling as we do); PAM holds the samples of a PNG checked above.
    for maxval, name in ((255, "rgb.ppm"), (65535, "rgb16.ppm"), (1000, "rgb1000.ppm")):
        s = [[tuple(v * maxval // 65535 for v in p) for p in r] for r in rgb16]
        pnm(os.path.join(folder, name), s, maxval, "ppm")
        add(name, [[tuple(scale(v, maxval) for v in p) + (255,) for p in r] for r in s])
    pnm(os.path.join(folder, "gray16.pgm"), gray16, 65535, "pgm")
    add("gray16.pgm", made["gray16.png"][0], "16-bit gray")
    pnm(os.path.join(folder, "rgba16.pam"), rgba16, 65535, "pam")
    add("rgba16.pam", made["rgba16.png"][0], "rgba16.png")
    pnm(os.path.join(folder, "ga8.pam"), ga8, 255, "pam")
    add("ga8.pam", made["ga8.png"][0], "ga8.png")

    # A BMP and a PNG as Pillow writes them (zlib's own choices, adaptive filters).
    src = Image.new("RGB", (W, H))
    src.putdata([p for r in rgb8 for p in r])
    src.save(os.path.join(folder, "pillow.bmp"))
    add("pillow.bmp", made["rgb8.png"][0])
    src.convert("P", palette=Image.ADAPTIVE, colors=50).save(os.path.join(folder, "pillow-p.png"), transparency=3)
    pim = Image.open(os.path.join(folder, "pillow-p.png")).convert("RGBA")
    add("pillow-p.png", [list(pim.getdata())[y * W:(y + 1) * W] for y in range(H)])
    return made


def pillow_sees(path, how, made):
    """The input's pixels as Pillow shows them, mapped to what the host must see; None where it must not be compared."""
    if how in made:
        return [p for r in made[how][0] for p in r]  # a PAM: the PNG of the same samples
    im = Image.open(path)
    if how == "exact":
        return [tuple(p) for p in im.convert("RGBA").getdata()]
    if how == "16-bit gray":
        return [(scale(v, 65535),) * 3 + (255,) for v in im.getdata()]
    return None  # 16-bit PNG colour: Pillow keeps the high bytes


def high_bytes_agree(path, want):
    """Pillow keeps the high byte of 16-bit PNG samples: ours, rounded, is at most one away."""
    got = list(Image.open(path).convert("RGBA").getdata())
    return all(abs(w - g) <= 1 for gp, wp in zip(got, want) for g, w in zip(gp, wp))


def classes_first(rgba):
    """The 8-bit save: each pixel becomes the first colour of its class (the top two bits of B, G, R, A);
    class 0 (every byte below 64) is palette entry 0, black."""
    first = {}
    cls = lambda p: (p[2] >> 6) | (p[1] >> 6) << 2 | (p[0] >> 6) << 4 | (p[3] >> 6) << 6
    for p in rgba:
        first.setdefault(cls(p), p[:3])
    return [(0, 0, 0) if cls(p) == 0 else first[cls(p)] for p in rgba]


def bmp_alphas(path):
    """The fourth bytes of a bottom-up 32-bit BMP's rows, top row first."""
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    rows = [data[offset + y * W * 4:offset + (y + 1) * W * 4] for y in range(H)][::-1]
    return [row[i] for row in rows for i in range(3, W * 4, 4)]


def main():
    if sys.argv[1] == "--inputs":
        os.makedirs(sys.argv[2], exist_ok=True)
        make_inputs(sys.argv[2])
        return 0
    host = sys.argv[1]
    failures = []
    run = lambda *args: subprocess.run([host, *args], capture_output=True, text=True)
    with tempfile.TemporaryDirectory() as work:
        made = make_inputs(work)
        for name, (rows, how) in sorted(made.items()):
            path = os.path.join(work, name)
            want = [p for r in rows for p in r]
            seen = pillow_sees(path, how, made)
            if seen is not None and seen != want or seen is None and not high_bytes_agree(path, want):
                failures.append(name + ": Pillow reads other pixels than the host should")
            for bits, extra in (("32", []), ("24", []), ("8", []), ("8", ["--rle"])):
                kind = bits + "".join(extra)
                out = os.path.join(work, "%s-%s.bmp" % (name, kind))
                done = run("convert", path, out, "--bits", bits, *extra)
                if done.returncode != 0:
                    failures.append("%s to %s: %s" % (name, kind, done.stderr.strip()))
                    continue
                got = [tuple(p) for p in Image.open(out).convert("RGB").getdata()]
                expected = [p[:3] for p in want] if bits != "8" else classes_first(want)
                if got != expected:
                    failures.append("%s to %s: Pillow reads other pixels" % (name, kind))
                if bits == "32" and bmp_alphas(out) != [p[3] for p in want]:
                    failures.append("%s to %s: the fourth bytes are not the alpha" % (name, kind))
                back = run("load", out, "-o", out + ".raw")
                raw = open(out + ".raw", "rb").read() if back.returncode == 0 else b""
                loaded = [(raw[i + 2], raw[i + 1], raw[i], raw[i + 3]) for i in range(0, len(raw), 4)]
                # A 32-bit save keeps the picture's transparency (an alpha-masked V4 file when it has some):
                # Pillow and the plug-in read the alpha back too; other kinds are opaque.
                if bits == "32":
                    readback = [tuple(p) for p in Image.open(out).convert("RGBA").getdata()]
                    if readback != want:
                        failures.append("%s to %s: Pillow reads other alpha" % (name, kind))
                else:
                    readback = [p + (255,) for p in got]
                if loaded != readback:
                    failures.append("%s to %s: the plug-in loads it back otherwise than Pillow" % (name, kind))
            out = os.path.join(work, name + "-gray.bmp")
            done = run("savegray", path, out)
            if all(p[0] == p[1] == p[2] and p[3] == 255 for p in want):
                back = run("loadgray", out, "-o", out + ".raw")
                levels = [p[0] for p in want]
                if done.returncode != 0 or back.returncode != 0 or list(open(out + ".raw", "rb").read()) != levels or \
                        list(Image.open(out).convert("L").getdata()) != levels:
                    failures.append("%s through savegray: %s" % (name, done.stderr.strip() or "other levels"))
            elif done.returncode != 1 or os.path.exists(out) or "gray BMP" not in done.stderr:
                failures.append("%s: savegray of a picture with colour or alpha: exit %d, %s" %
                                (name, done.returncode, done.stderr.strip()))
        print("%d inputs, each converted to 4 BMP kinds and loaded back, checked by Pillow" % len(made))

        # What a PNG records: sRGB for a BMP without a colour space, and its resolution;
        # no sRGB for a calibrated space the plug-in shows as stored (a V4 header of zeros).
        src = os.path.join(work, "dpi.bmp")
        Image.new("RGB", (3, 2), (10, 200, 30)).save(src, dpi=(300, 150))
        v4 = os.path.join(work, "v4.bmp")
        open(v4, "wb").write(b"BM" + struct.pack("<IHHI", 14 + 108 + 8, 0, 0, 14 + 108) +
                             struct.pack("<IiiHHIIiiII", 108, 1, 2, 1, 32, 0, 8, 0, 0, 0, 0) + bytes(68) + bytes(8))
        for bmp, srgb, dpi in ((src, True, (300, 150)), (v4, False, None)):
            done = run("load", bmp, "-o", bmp + ".png")
            info = Image.open(bmp + ".png").info if done.returncode == 0 else {}
            got_dpi = tuple(round(d) for d in info["dpi"]) if "dpi" in info else None
            if done.returncode != 0 or ("srgb" in info) != srgb or got_dpi != dpi:
                failures.append("PNG of %s: sRGB %s, dpi %s" % (os.path.basename(bmp), "srgb" in info, got_dpi))
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


sys.exit(main())
