// Writes the demo's sample BMP files: one test card (colour bars, a gradient,
// a ring and a checkerboard) at every depth the plug-in reads, uncompressed
// and run-length encoded, bottom-up and top-down.
//
// usage: tessaly_samples OUT_DIR
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
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

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// Headers (40-byte info header), optional masks, palette and pixel data.
Bytes File(int bits, std::uint32_t compression, bool topDown, const std::vector<Rgb>& palette,
           const std::vector<std::uint32_t>& masks, const Bytes& data) {
    Bytes f(54, 0);
    f[0] = 'B';
    f[1] = 'M';
    Put32(f, 14, 40);
    Put32(f, 18, kW);
    Put32(f, 22, static_cast<std::uint32_t>(topDown ? -kH : kH));
    Put16(f, 26, 1);
    Put16(f, 28, static_cast<std::uint32_t>(bits));
    Put32(f, 30, compression);
    Put32(f, 46, static_cast<std::uint32_t>(palette.size()));
    for (const std::uint32_t m : masks) {
        f.resize(f.size() + 4);
        Put32(f, f.size() - 4, m);
    }
    for (const Rgb& c : palette) f.insert(f.end(), {static_cast<std::uint8_t>(c.b), static_cast<std::uint8_t>(c.g),
                                                    static_cast<std::uint8_t>(c.r), 0});
    Put32(f, 10, static_cast<std::uint32_t>(f.size()));
    f.insert(f.end(), data.begin(), data.end());
    Put32(f, 2, static_cast<std::uint32_t>(f.size()));
    return f;
}

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

// Palette indices of stored row r (0 = first stored row).
std::vector<int> IndexRow(const std::vector<Rgb>& pal, int r, bool topDown) {
    const int y = topDown ? r : kH - 1 - r;
    std::vector<int> out(kW);
    for (int x = 0; x < kW; ++x) out[static_cast<std::size_t>(x)] = Nearest(pal, Card(x, y));
    return out;
}

Bytes Indexed(int bits, bool topDown) {
    const auto pal = Palette(bits);
    Bytes data;
    for (int r = 0; r < kH; ++r) {
        const auto idx = IndexRow(pal, r, topDown);
        Bytes row((kW * bits + 7) / 8, 0);
        for (int x = 0; x < kW; ++x) {
            const int shift = 8 - bits - (x * bits) % 8;
            row[static_cast<std::size_t>(x * bits / 8)] |= static_cast<std::uint8_t>(idx[static_cast<std::size_t>(x)] << shift);
        }
        row.resize((row.size() + 3) / 4 * 4, 0);
        data.insert(data.end(), row.begin(), row.end());
    }
    return File(bits, 0, topDown, pal, {}, data);
}

// Encoded runs only (no absolute runs), one end of line per row, end of bitmap.
Bytes Rle(int bits) {
    const auto pal = Palette(bits);
    Bytes data;
    for (int r = 0; r < kH; ++r) {
        const auto idx = IndexRow(pal, r, false);
        for (std::size_t x = 0; x < idx.size();) {
            std::size_t n = 1;
            while (x + n < idx.size() && idx[x + n] == idx[x] && n < 255) ++n;
            const int v = idx[x];
            data.push_back(static_cast<std::uint8_t>(n));
            data.push_back(static_cast<std::uint8_t>(bits == 4 ? (v << 4 | v) : v));
            x += n;
        }
        data.insert(data.end(), {0, 0});
    }
    data.insert(data.end(), {0, 1});
    return File(bits, bits == 8 ? 1 : 2, false, pal, {}, data);
}

Bytes Direct(int bits, bool topDown) {
    Bytes data;
    for (int r = 0; r < kH; ++r) {
        const int y = topDown ? r : kH - 1 - r;
        Bytes row;
        for (int x = 0; x < kW; ++x) {
            const Rgb c = Card(x, y);
            if (bits == 16) {
                const int v = (c.r >> 3) << 11 | (c.g >> 2) << 5 | (c.b >> 3);
                row.insert(row.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
            } else {
                row.insert(row.end(), {static_cast<std::uint8_t>(c.b), static_cast<std::uint8_t>(c.g), static_cast<std::uint8_t>(c.r)});
                if (bits == 32) row.push_back(0);
            }
        }
        row.resize((row.size() + 3) / 4 * 4, 0);
        data.insert(data.end(), row.begin(), row.end());
    }
    if (bits == 16) return File(16, 3, topDown, {}, {0xF800, 0x07E0, 0x001F}, data);
    return File(bits, 0, topDown, {}, {}, data);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessaly_samples OUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const struct {
        const char* name;
        Bytes bytes;
    } samples[] = {
        {"card-1bit.bmp", Indexed(1, false)},     {"card-4bit.bmp", Indexed(4, false)},
        {"card-8bit.bmp", Indexed(8, false)},     {"card-rle4.bmp", Rle(4)},
        {"card-rle8.bmp", Rle(8)},                {"card-16bit-565.bmp", Direct(16, false)},
        {"card-24bit.bmp", Direct(24, false)},    {"card-32bit.bmp", Direct(32, false)},
        {"card-24bit-topdown.bmp", Direct(24, true)},
    };
    {  // A gray ramp with a bright frame, as the one-byte-per-pixel buffer a host saves.
        std::ofstream pgm(dir + "/gray.pgm", std::ios::binary);
        pgm << "P5\n" << kW << " " << kH << "\n255\n";
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool frame = x < 4 || y < 4 || x >= kW - 4 || y >= kH - 4;
                pgm.put(static_cast<char>(frame ? 255 : (x * 255 / kW + y) % 256));
            }
    }
    for (const auto& s : samples) {
        std::ofstream out(dir + "/" + s.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(s.bytes.data()), static_cast<std::streamsize>(s.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "tessaly_samples: cannot write %s/%s\n", dir.c_str(), s.name);
            return 1;
        }
    }
    return 0;
}
