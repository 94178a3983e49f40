// Writes the demo's sample BMP files: one test card (colour bars, a gradient,
// a ring and a checkerboard) at every depth the plug-in reads, uncompressed
// and run-length encoded, bottom-up and top-down, and a gray ramp as PGM.
// With INTENDED_DIR it also writes, for each sample, the picture it is meant
// to show (NAME.png, and NAME.raw as the host's B, G, R, A bytes): the card
// as that depth holds it (palette colours, 5-6-5 channels widened), worked
// out here without the plug-in, so a load can be compared with it.
//
// usage: tessaly_samples OUT_DIR [INTENDED_DIR]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "image_files.h"
#include "kit/bmp_builder.h"

namespace {

using tessaly::kit::BmpBuilder;
using tessaly::kit::Bytes;
constexpr int kW = 160, kH = 96;

struct Rgb {
    int r, g, b;
};

Rgb Card(int x, int y) {
    static const Rgb bars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    if (y < kH / 3) return bars[x * 8 / kW];
    if (y < kH / 2) {
        const int v = x * 255 / (kW - 1);
        return {v, v, v};
    }
    const double dx = x - kW * 0.7, dy = y - kH * 0.72;
    const double d = std::sqrt(dx * dx + dy * dy);
    if (d > 12 && d < 20) return {230, 120, 20};
    const bool check = ((x / 8) + (y / 8)) % 2 == 0;
    return check ? Rgb{30, 60, 140} : Rgb{200, 210, 230};
}

std::uint32_t Word(Rgb c) { return static_cast<std::uint32_t>(c.r << 16 | c.g << 8 | c.b); }

std::vector<Rgb> Palette(int bits) {
    std::vector<Rgb> p;
    if (bits == 1) return {{0, 0, 0}, {255, 255, 255}};
    if (bits == 4) {
        for (int i = 0; i < 16; ++i) {
            const int lo = i & 8 ? 255 : 128;
            p.push_back({i & 4 ? lo : 0, i & 2 ? lo : 0, i & 1 ? lo : 0});
        }
        p[8] = {192, 192, 192};
        return p;
    }
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 7; ++g)
            for (int b = 0; b < 6; ++b) p.push_back({r * 51, g * 255 / 6, b * 51});
    return p;
}

int Nearest(const std::vector<Rgb>& p, Rgb c) {
    int best = 0, bestD = 1 << 30;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const int d = (p[i].r - c.r) * (p[i].r - c.r) + (p[i].g - c.g) * (p[i].g - c.g) + (p[i].b - c.b) * (p[i].b - c.b);
        if (d < bestD) bestD = d, best = static_cast<int>(i);
    }
    return best;
}

// A sample: its file, and the picture it means, top row first (0xAARRGGBB).
struct Sample {
    const char* name;
    Bytes file;
    std::vector<std::uint32_t> meant;
};

BmpBuilder Builder(int bits, std::uint32_t compression, bool topDown) {
    BmpBuilder b;
    b.width = kW;
    b.height = topDown ? -kH : kH;
    b.bitCount = static_cast<std::uint16_t>(bits);
    b.compression = compression;
    return b;
}

// Palette indices of the card, top row first, and the colours they show.
std::vector<int> Indices(const std::vector<Rgb>& pal, std::vector<std::uint32_t>& meant) {
    std::vector<int> idx(kW * kH);
    meant.assign(idx.size(), 0);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const int i = Nearest(pal, Card(x, y));
            idx[static_cast<std::size_t>(y * kW + x)] = i;
            meant[static_cast<std::size_t>(y * kW + x)] = 0xFF000000u | Word(pal[static_cast<std::size_t>(i)]);
        }
    return idx;
}

BmpBuilder WithPalette(BmpBuilder b, const std::vector<Rgb>& pal) {
    for (const Rgb& c : pal) b.palette.push_back(Word(c));
    b.clrUsed = static_cast<std::uint32_t>(pal.size());
    return b;
}

Sample Indexed(const char* name, int bits, bool topDown) {
    const auto pal = Palette(bits);
    Sample s{name, {}, {}};
    const auto idx = Indices(pal, s.meant);
    BmpBuilder b = WithPalette(Builder(bits, 0, topDown), pal);
    for (int r = 0; r < kH; ++r) {
        const int y = topDown ? r : kH - 1 - r;
        Bytes row((kW * bits + 7) / 8, 0);
        for (int x = 0; x < kW; ++x) {
            const int shift = 8 - bits - (x * bits) % 8;
            row[static_cast<std::size_t>(x * bits / 8)] |= static_cast<std::uint8_t>(idx[static_cast<std::size_t>(y * kW + x)] << shift);
        }
        row.resize((row.size() + 3) / 4 * 4, 0);
        b.pixels.insert(b.pixels.end(), row.begin(), row.end());
    }
    s.file = b.Build();
    return s;
}

// Encoded runs only (no absolute runs), one end of line per row, end of bitmap.
Sample Rle(const char* name, int bits) {
    const auto pal = Palette(bits);
    Sample s{name, {}, {}};
    const auto idx = Indices(pal, s.meant);
    BmpBuilder b = WithPalette(Builder(bits, bits == 8 ? 1 : 2, false), pal);
    for (int r = 0; r < kH; ++r) {
        const int* row = &idx[static_cast<std::size_t>((kH - 1 - r) * kW)];
        for (int x = 0; x < kW;) {
            int n = 1;
            while (x + n < kW && row[x + n] == row[x] && n < 255) ++n;
            const int v = row[x];
            b.pixels.push_back(static_cast<std::uint8_t>(n));
            b.pixels.push_back(static_cast<std::uint8_t>(bits == 4 ? (v << 4 | v) : v));
            x += n;
        }
        b.pixels.insert(b.pixels.end(), {0, 0});
    }
    b.pixels.insert(b.pixels.end(), {0, 1});
    s.file = b.Build();
    return s;
}

Sample Direct(const char* name, int bits, bool topDown) {
    Sample s{name, {}, std::vector<std::uint32_t>(kW * kH)};
    BmpBuilder b = Builder(bits, bits == 16 ? 3 : 0, topDown);
    if (bits == 16) b.masks = {0xF800, 0x07E0, 0x001F};
    for (int r = 0; r < kH; ++r) {
        const int y = topDown ? r : kH - 1 - r;
        Bytes row;
        for (int x = 0; x < kW; ++x) {
            Rgb c = Card(x, y);
            if (bits == 16) {
                const int r5 = c.r >> 3, g6 = c.g >> 2, b5 = c.b >> 3;
                const int v = r5 << 11 | g6 << 5 | b5;
                row.insert(row.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
                // n-bit channels widen to round(v x 255 / (2^n - 1)).
                c = {(r5 * 255 + 15) / 31, (g6 * 255 + 31) / 63, (b5 * 255 + 15) / 31};
            } else {
                row.insert(row.end(), {static_cast<std::uint8_t>(c.b), static_cast<std::uint8_t>(c.g), static_cast<std::uint8_t>(c.r)});
                if (bits == 32) row.push_back(0);  // a BI_RGB file's fourth byte is not alpha
            }
            s.meant[static_cast<std::size_t>(y * kW + x)] = 0xFF000000u | Word(c);
        }
        row.resize((row.size() + 3) / 4 * 4, 0);
        b.pixels.insert(b.pixels.end(), row.begin(), row.end());
    }
    s.file = b.Build();
    return s;
}

bool WriteFile(const std::string& path, const void* data, std::size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    out.close();
    return !out.fail();
}

bool WriteMeant(const std::string& dir, const std::string& name, const tessaly_cli::Picture& picture) {
    std::FILE* png = std::fopen((dir + "/" + name + ".png").c_str(), "wb");
    std::string error;
    const bool ok = png && tessaly_cli::WritePng(png, picture, error);
    if (png && std::fclose(png) != 0) return false;
    const std::size_t bytes = picture.width * picture.height * (picture.pixels ? 4 : 1);
    return ok && WriteFile(dir + "/" + name + ".raw", picture.pixels ? static_cast<const void*>(picture.pixels)
                                                                      : static_cast<const void*>(picture.gray), bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: tessaly_samples OUT_DIR [INTENDED_DIR]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::string meantDir = argc == 3 ? argv[2] : "";
    const Sample samples[] = {
        Indexed("card-1bit", 1, false),      Indexed("card-4bit", 4, false),
        Indexed("card-8bit", 8, false),      Rle("card-rle4", 4),
        Rle("card-rle8", 8),                 Direct("card-16bit-565", 16, false),
        Direct("card-24bit", 24, false),     Direct("card-32bit", 32, false),
        Direct("card-24bit-topdown", 24, true),
    };
    // A gray ramp with a bright frame, as the one-byte-per-pixel buffer a host saves.
    std::vector<std::uint8_t> gray(kW * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const bool frame = x < 4 || y < 4 || x >= kW - 4 || y >= kH - 4;
            gray[static_cast<std::size_t>(y * kW + x)] = static_cast<std::uint8_t>(frame ? 255 : (x * 255 / kW + y) % 256);
        }
    const std::string header = "P5\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n255\n";
    Bytes pgm(header.begin(), header.end());
    pgm.insert(pgm.end(), gray.begin(), gray.end());
    bool ok = WriteFile(dir + "/gray.pgm", pgm.data(), pgm.size());
    if (!meantDir.empty()) ok = ok && WriteMeant(meantDir, "gray", {kW, kH, nullptr, gray.data()});
    for (const Sample& s : samples) {
        ok = ok && WriteFile(dir + "/" + s.name + ".bmp", s.file.data(), s.file.size());
        if (!meantDir.empty()) ok = ok && WriteMeant(meantDir, s.name, {kW, kH, s.meant.data(), nullptr});
    }
    if (!ok) {
        std::fprintf(stderr, "tessaly_samples: cannot write the samples in %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
