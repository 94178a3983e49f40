// Side-by-side benchmarks: loads, scaled loads and saves through the
// plug-in's exports (as a host drives them, into a host buffer allocated
// once) against OpenCV, stb_image and SDL2 given the same job (the same file,
// read from the same folder), with floors (a memcpy, a single write()) where
// the job has one.
//
// Every measurement runs twice, each time in a child process of its own: with
// glibc's allocator as shipped, and with freed memory reused (no mmap'd blocks,
// no trimming, so a peer's large temporaries come back without page faults).
// The parent prints one table with both and each row's goal.
//
// usage: tessaly_bench PLUGIN [WORK_DIR] [--quick] [--only TEXT] [--keep]
//   WORK_DIR  where sample files are written (default /dev/shm)
//   --quick   three timed runs per figure instead of seven
//   --only    only the rows whose name holds TEXT
//   --keep    leave the 4000 x 3000 samples in WORK_DIR
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <SDL2/SDL.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bmp/read/bmp_layout.h"
#include "bmp/write/encode.h"
#include "shell/cpu.h"
#include "kit/bmp_builder.h"
#include "kit/plugin_library.h"
#include "kit/request.h"
#include "tessaly/plugin.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wcast-align"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#endif
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

using tessaly::kit::Bytes;
using Clock = std::chrono::steady_clock;

int g_repeats = 7;
constexpr const char* kReusedTunables = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=4294967296";

// Median wall time of `fn` in milliseconds over g_repeats runs (after one warm-up).
double TimeMs(const std::function<void()>& fn) {
    fn();
    std::vector<double> t;
    for (int i = 0; i < g_repeats; ++i) {
        const auto a = Clock::now();
        fn();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// ---- One row of the table, as a child measures it ----

// How a row's goal is judged: against a named peer (or the best peer) by a
// ratio, against a floor by a ratio, or as a rate or a time of ours alone.
enum class Goal { PeerRatio, BestPeerRatio, FloorRatio, Rate, TimeUnder, None };

struct Row {
    std::string section, name;
    double ours = 0;  // milliseconds, or Mpix/s for a Rate row
    std::vector<std::pair<std::string, double>> peers;  // milliseconds
    Goal goal = Goal::None;
    double target = 0;
    std::string against;  // the peer or floor a ratio is taken against
    std::string note;
};

std::vector<Row> g_rows;

void Emit(const Row& r) {
    std::printf("R\t%s\t%s\t%.6f\t%d\t%.4f\t%s\t%s", r.section.c_str(), r.name.c_str(), r.ours, static_cast<int>(r.goal),
                r.target, r.against.c_str(), r.note.c_str());
    for (const auto& [peer, ms] : r.peers) std::printf("\t%s=%.6f", peer.c_str(), ms);
    std::printf("\n");
    std::fflush(stdout);
}

// ---- Samples ----

using Plugin = tessaly::kit::PluginLibrary;

void LoadPlugin(Plugin& plugin, const char* path) {
    std::string error;
    if (!plugin.Load(path, error)) {
        std::fprintf(stderr, "%s: %s\n", path, error.c_str());
        std::exit(1);
    }
}

Bytes BmpFile(int w, int h, int bits, std::uint32_t compression, const std::vector<std::uint32_t>& palette,
              const Bytes& data) {
    tessaly::kit::BmpBuilder b;
    b.width = w;
    b.height = h;
    b.bitCount = static_cast<std::uint16_t>(bits);
    b.compression = compression;
    b.palette = palette;
    b.clrUsed = static_cast<std::uint32_t>(palette.size());
    b.pixels = data;
    return b.Build();
}

// A photo-like picture: smooth gradients, soft shapes and sensor noise.
std::vector<std::uint32_t> Photo(int w, int h) {
    std::vector<std::uint32_t> px(static_cast<std::size_t>(w) * h);
    std::mt19937 rng(1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double fx = x / double(w), fy = y / double(h);
            const double r = 128 + 100 * std::sin(6 * fx + 2 * fy) + int(rng() % 13) - 6;
            const double g = 128 + 90 * std::cos(5 * fy - 3 * fx * fy) + int(rng() % 13) - 6;
            const double b = 120 + 110 * std::sin(9 * fx * fy + 1) + int(rng() % 13) - 6;
            auto c = [](double v) { return static_cast<std::uint32_t>(std::clamp(v, 0.0, 255.0)); };
            px[static_cast<std::size_t>(y) * w + x] = 0xFF000000u | c(r) << 16 | c(g) << 8 | c(b);
        }
    return px;
}

// Indices of a photo (smooth with noise) or a screen (flat areas, lines of text-like marks).
std::vector<std::uint8_t> Indices(int w, int h, int colours, bool screen) {
    std::vector<std::uint8_t> idx(static_cast<std::size_t>(w) * h);
    std::mt19937 rng(2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v;
            if (screen) {
                const bool window = (x / 400 + y / 300) % 3 == 0;
                const bool text = (y % 20) < 10 && (x % 9) < 5 && ((x / 9 + y / 20) % 7) != 0 && (x % 400) > 30;
                v = text ? 1 : window ? 2 : 3;
            } else {
                v = static_cast<int>((std::sin(x / 150.0) + std::cos(y / 110.0) + 2) * (colours - 1) / 4) + int(rng() % 3) - 1;
            }
            idx[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(std::clamp(v, 0, colours - 1));
        }
    return idx;
}

std::vector<std::uint32_t> GrayPalette(int n) {
    std::vector<std::uint32_t> p(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) p[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(i * 255 / (n - 1)) * 0x010101u;
    return p;
}

Bytes PackIndexed(const std::vector<std::uint8_t>& idx, int w, int h, int bits) {
    const std::size_t stride = ((static_cast<std::size_t>(w) * bits + 31) / 32) * 4;
    Bytes data(stride * h, 0);
    for (int r = 0; r < h; ++r) {
        const int y = h - 1 - r;
        for (int x = 0; x < w; ++x) {
            const int shift = 8 - bits - (x * bits) % 8;
            data[r * stride + static_cast<std::size_t>(x) * bits / 8] |=
                static_cast<std::uint8_t>(idx[static_cast<std::size_t>(y) * w + x] << shift);
        }
    }
    return data;
}

Bytes Pack24(const std::vector<std::uint32_t>& px, int w, int h) {
    const std::size_t stride = (static_cast<std::size_t>(w) * 3 + 3) / 4 * 4;
    Bytes data(stride * h, 0);
    for (int r = 0; r < h; ++r)
        for (int x = 0; x < w; ++x)
            std::memcpy(&data[r * stride + static_cast<std::size_t>(x) * 3], &px[static_cast<std::size_t>(h - 1 - r) * w + x], 3);
    return data;
}

// An RLE4 stream: runs of equal index pairs, absolute runs elsewhere.
Bytes Rle4(const std::vector<std::uint8_t>& idx, int w, int h) {
    Bytes out;
    for (int r = 0; r < h; ++r) {
        const std::uint8_t* v = &idx[static_cast<std::size_t>(h - 1 - r) * w];
        int x = 0;
        while (x < w) {
            int n = 1;
            while (x + n < w && v[x + n] == v[x] && n < 255) ++n;
            if (n >= 3 || w - x < 3) {
                out.push_back(static_cast<std::uint8_t>(n));
                out.push_back(static_cast<std::uint8_t>(v[x] << 4 | v[x]));
                x += n;
                continue;
            }
            int k = 0;
            while (x + k < w && k < 254 && !(x + k + 2 < w && v[x + k] == v[x + k + 1] && v[x + k] == v[x + k + 2])) ++k;
            k = std::min(std::max(k, 3), w - x);
            if (k < 3) {
                out.push_back(static_cast<std::uint8_t>(k));
                out.push_back(static_cast<std::uint8_t>(v[x] << 4 | v[x]));
                x += k;
                continue;
            }
            out.push_back(0);
            out.push_back(static_cast<std::uint8_t>(k));
            const std::size_t start = out.size();
            for (int i = 0; i < k; i += 2)
                out.push_back(static_cast<std::uint8_t>(v[x + i] << 4 | (i + 1 < k ? v[x + i + 1] : 0)));
            if ((out.size() - start) % 2) out.push_back(0);
            x += k;
        }
        out.push_back(0);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(1);
    return out;
}

Bytes Rle8(const std::vector<std::uint8_t>& idx, int w, int h) {
    Bytes out;
    for (int r = h; r-- > 0;) tessaly::EncodeRle8Line({&idx[static_cast<std::size_t>(r) * w], static_cast<std::size_t>(w)}, out);
    out.push_back(0);
    out.push_back(1);
    return out;
}

void WriteFile(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

ImageRequest Request(const std::string& path, int w, int h) { return tessaly::kit::MakeRequest(path, w, h); }

long StatusKiB(const char* field) {
    std::ifstream s("/proc/self/status");
    std::string line;
    while (std::getline(s, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return 0;
}

// Peak resident memory added by one load, measured in a child process: the
// host's buffer is allocated and touched first, then the kernel's high-water
// mark is reset and read again after the load.
long PeakKiBOfLoad(const Plugin& p, const std::string& path, int w, int h) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::uint32_t> host(static_cast<std::size_t>(w) * h, 1);
        { std::ofstream("/proc/self/clear_refs") << "5"; }
        const long before = std::max(StatusKiB("VmHWM:"), StatusKiB("VmRSS:"));
        ImageRequest r = Request(path, w, h);
        ImageRecord rec{};
        rec.pixels = host.data();
        p.imageProc(ImageCmdLoad, &r, &rec);
        const long delta = StatusKiB("VmHWM:") - before;
        (void)!write(fds[1], &delta, sizeof delta);
        _exit(0);
    }
    long delta = -1;
    (void)!read(fds[0], &delta, sizeof delta);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    return delta;
}

// ---- The measurements, run in each child ----

struct Context {
    Plugin plugin;
    std::string dir;
    std::string only;
    bool keep = false;
    bool Wanted(const std::string& name) const { return only.empty() || name.find(only) != std::string::npos; }
};

double OursLoad(const Context& c, const std::string& path, std::vector<std::uint32_t>& host, int w, int h) {
    ImageRequest req = Request(path, w, h);
    ImageRecord rec{};
    rec.pixels = host.data();
    if (c.plugin.imageProc(ImageCmdLoad, &req, &rec) != 0) std::fprintf(stderr, "LOAD FAILED: %s\n", path.c_str());
    return TimeMs([&] { c.plugin.imageProc(ImageCmdLoad, &req, &rec); });
}

// The peers' loads of the same file, read from the same folder, to 32-bit
// pixels (B, G, R, A where they can): each given the job a host gives us.
void PeerLoads(const std::string& path, Row& row, bool withStb) {
    cv::Mat decoded, bgra;
    row.peers.emplace_back("OpenCV", TimeMs([&] {
                               decoded = cv::imread(path, cv::IMREAD_COLOR);
                               cv::cvtColor(decoded, bgra, cv::COLOR_BGR2BGRA);
                           }));
    int sw, sh, sn;
    if (withStb) {
        if (stbi_uc* probe = stbi_load(path.c_str(), &sw, &sh, &sn, 4)) {
            stbi_image_free(probe);
            row.peers.emplace_back("stb_image", TimeMs([&] { stbi_image_free(stbi_load(path.c_str(), &sw, &sh, &sn, 4)); }));
        }
    }
    row.peers.emplace_back("SDL2", TimeMs([&] {
                               SDL_Surface* s = SDL_LoadBMP(path.c_str());
                               if (!s) return;
                               SDL_Surface* t = SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_ARGB8888, 0);
                               SDL_FreeSurface(t);
                               SDL_FreeSurface(s);
                           }));
}

void MeasureLoads(const Context& c) {
    const int W = 4000, H = 3000;
    std::vector<std::uint32_t> host(static_cast<std::size_t>(W) * H, 0);  // the host's buffer, allocated once
    const auto photo = Photo(W, H);
    const auto idx8 = Indices(W, H, 256, false), idx4 = Indices(W, H, 16, false), idx1 = Indices(W, H, 2, false);
    const auto scr8 = Indices(W, H, 256, true), scr4 = Indices(W, H, 16, true);
    Bytes d32(static_cast<std::size_t>(W) * 4 * H, 0);
    for (int r = 0; r < H; ++r) std::memcpy(&d32[static_cast<std::size_t>(r) * W * 4], &photo[static_cast<std::size_t>(H - 1 - r) * W], static_cast<std::size_t>(W) * 4);
    const struct {
        const char* name;
        Bytes file;
        double goal;
    } samples[] = {
        {"24-bit", BmpFile(W, H, 24, 0, {}, Pack24(photo, W, H)), 2.0},
        {"32-bit", BmpFile(W, H, 32, 0, {}, d32), 2.0},
        {"8-bit", BmpFile(W, H, 8, 0, GrayPalette(256), PackIndexed(idx8, W, H, 8)), 2.0},
        {"4-bit", BmpFile(W, H, 4, 0, GrayPalette(16), PackIndexed(idx4, W, H, 4)), 2.0},
        {"1-bit", BmpFile(W, H, 1, 0, GrayPalette(2), PackIndexed(idx1, W, H, 1)), 2.0},
        {"RLE8 photo", BmpFile(W, H, 8, 1, GrayPalette(256), Rle8(idx8, W, H)), 3.0},
        {"RLE8 screen", BmpFile(W, H, 8, 1, GrayPalette(256), Rle8(scr8, W, H)), 3.0},
        {"RLE4 photo", BmpFile(W, H, 4, 2, GrayPalette(16), Rle4(idx4, W, H)), 3.0},
        {"RLE4 screen", BmpFile(W, H, 4, 2, GrayPalette(16), Rle4(scr4, W, H)), 3.0},
    };
    for (const auto& s : samples) {
        const std::string name = std::string("load ") + s.name;
        if (!c.Wanted(name)) continue;
        const std::string path = c.dir + "/tessaly-bench.bmp";
        WriteFile(path, s.file);
        if (c.keep) WriteFile(c.dir + "/" + s.name + ".bmp", s.file);
        Row row{"Loads at the file's own size, 4000 x 3000", name};
        row.ours = OursLoad(c, path, host, W, H);
        PeerLoads(path, row, true);
        row.goal = Goal::PeerRatio;
        row.target = s.goal;
        row.against = "OpenCV";
        row.note = "peak " + std::to_string(PeakKiBOfLoad(c.plugin, path, W, H)) + " KiB beyond the host's buffer";
        Emit(row);
        if (std::string(s.name) == "24-bit") {
            // The floor of a 24-bit load: reading the file and writing the host's buffer once.
            std::vector<std::uint8_t> buffer(s.file.size());
            Row floor{"Loads at the file's own size, 4000 x 3000", "load 24-bit against its floor", row.ours};
            floor.peers.emplace_back("read + memcpy", TimeMs([&] {
                                         const int fd = open(path.c_str(), O_RDONLY);
                                         (void)!read(fd, buffer.data(), buffer.size());
                                         close(fd);
                                         std::memcpy(host.data(), photo.data(), photo.size() * 4);
                                     }));
            floor.goal = Goal::FloorRatio;
            floor.target = 2.0;
            floor.against = "read + memcpy";
            Emit(floor);
        }
    }
}

// Loads whose pixels go through a colour conversion: the same pixels with a
// V5 header and an embedded profile that is not sRGB (Adobe RGB's colorants,
// gamma 1.8), against the same file without one.
void MeasureConverted(const Context& c) {
    const int W = 4000, H = 3000;
    std::vector<std::uint32_t> host(static_cast<std::size_t>(W) * H, 0);
    const Bytes profile = tessaly::kit::MatrixTrcProfile(
        {{{0.6097, 0.3111, 0.0195}, {0.2053, 0.6257, 0.0609}, {0.1492, 0.0632, 0.7446}}}, 1.8);
    const auto photo = Photo(W, H);
    const auto idx8 = Indices(W, H, 256, false);
    const struct {
        const char* name;
        int bits;
        std::vector<std::uint32_t> palette;
        Bytes data;
    } samples[] = {
        {"converted 24-bit", 24, {}, Pack24(photo, W, H)},
        {"converted 8-bit (the table is converted)", 8, GrayPalette(256), PackIndexed(idx8, W, H, 8)},
    };
    for (const auto& s : samples) {
        const std::string name = std::string("load ") + s.name;
        if (!c.Wanted(name)) continue;
        const std::string plain = c.dir + "/tessaly-bench.bmp", converted = c.dir + "/tessaly-bench-icc.bmp";
        WriteFile(plain, BmpFile(W, H, s.bits, 0, s.palette, s.data));
        tessaly::kit::BmpBuilder b;
        b.width = W;
        b.height = H;
        b.bitCount = static_cast<std::uint16_t>(s.bits);
        b.headerSize = 124;
        b.palette = s.palette;
        b.clrUsed = static_cast<std::uint32_t>(s.palette.size());
        b.pixels = s.data;
        b.colourSpace = 0x4D424544;  // 'MBED': the profile is embedded
        b.profile = profile;
        WriteFile(converted, b.Build());
        Row row{"Loads converted to sRGB, 4000 x 3000", name};
        row.ours = OursLoad(c, converted, host, W, H);
        row.peers.emplace_back("same file as sRGB", OursLoad(c, plain, host, W, H));
        row.goal = Goal::FloorRatio;
        row.target = 1.5;
        row.against = "same file as sRGB";
        row.note = "peak " + std::to_string(PeakKiBOfLoad(c.plugin, converted, W, H)) + " KiB beyond the host's buffer";
        Emit(row);
        std::remove(converted.c_str());
    }
}

void MeasureSmallLoads(const Context& c) {
    for (const int side : {1, 32, 256, 640}) {
        const int w = side, h = side == 640 ? 480 : side;
        const std::string name = "load " + std::to_string(w) + " x " + std::to_string(h) + " 24-bit";
        if (!c.Wanted(name)) continue;
        const Bytes file = BmpFile(w, h, 24, 0, {}, Pack24(Photo(w, h), w, h));
        const std::string path = c.dir + "/tessaly-small.bmp";
        WriteFile(path, file);
        std::vector<std::uint32_t> host(static_cast<std::size_t>(w) * h);
        Row row{"Small files (fixed cost per call: the 1 x 1 file)", name};
        row.ours = OursLoad(c, path, host, w, h);
        PeerLoads(path, row, true);
        if (side == 1) {
            row.goal = Goal::TimeUnder;
            row.target = 0.020;
        } else {
            row.goal = Goal::PeerRatio;
            row.target = 1.5;
            row.against = "OpenCV";
        }
        Emit(row);
        std::remove(path.c_str());
    }
}

void MeasureScaled(const Context& c) {
    const struct {
        int sw, sh, dw, dh;
        double goal;
    } scales[] = {{4000, 3000, 1000, 750, 1.5}, {4000, 3000, 2000, 1500, 1.5}, {640, 480, 1920, 1440, 3.0}};
    for (const auto& sc : scales) {
        char name[64];
        std::snprintf(name, sizeof name, "scale %dx%d -> %dx%d", sc.sw, sc.sh, sc.dw, sc.dh);
        if (!c.Wanted(name)) continue;
        const auto src = Photo(sc.sw, sc.sh);
        const std::string path = c.dir + "/tessaly-bench.bmp";
        WriteFile(path, BmpFile(sc.sw, sc.sh, 24, 0, {}, Pack24(src, sc.sw, sc.sh)));
        std::vector<std::uint32_t> out(static_cast<std::size_t>(sc.dw) * sc.dh);
        Row row{"Scaled loads (ours: the whole load; peer: cv::resize INTER_CUBIC alone, one thread)", name};
        row.ours = OursLoad(c, path, out, sc.dw, sc.dh);
        const cv::Mat srcMat(sc.sh, sc.sw, CV_8UC4, const_cast<std::uint32_t*>(src.data()));
        cv::Mat dst(sc.dh, sc.dw, CV_8UC4);
        row.peers.emplace_back("cv::resize", TimeMs([&] { cv::resize(srcMat, dst, dst.size(), 0, 0, cv::INTER_CUBIC); }));
        row.goal = Goal::PeerRatio;
        row.target = sc.goal;
        row.against = "cv::resize";
        Emit(row);
    }
}

void MeasureHostile(const Context& c) {
    const std::vector<std::uint32_t> onePalette = {0x102030};
    Bytes sparse;  // two rows drawn, then the end of the bitmap
    for (int r = 0; r < 2; ++r) {
        for (int k = 0; k < 15; ++k) sparse.insert(sparse.end(), {255, static_cast<std::uint8_t>(r * 7 + k)});
        sparse.insert(sparse.end(), {static_cast<std::uint8_t>(4000 - 15 * 255), 9, 0, 0});
    }
    sparse.insert(sparse.end(), {0, 1});
    const Bytes photo = BmpFile(4000, 3000, 24, 0, {}, Pack24(Photo(4000, 3000), 4000, 3000));
    const struct {
        const char* name;
        Bytes file;
        int dw, dh;
    } cases[] = {
        {"24-bit 1 x 2^20, 310 B", BmpFile(1, 1 << 20, 24, 0, {}, Bytes(256, 7)), 1024, 1},
        {"24-bit 1 x 2^20, 310 B", BmpFile(1, 1 << 20, 24, 0, {}, Bytes(256, 7)), 4096, 4096},
        {"24-bit 1 x 2^22, 1 KB", BmpFile(1, 1 << 22, 24, 0, {}, Bytes(970, 7)), 128, 1},
        {"24-bit 2^26 x 1, 16 KB", BmpFile(1 << 26, 1, 24, 0, {}, Bytes(16330, 7)), 1, 1},
        {"24-bit (2^30-1) x 1, 262 KB", BmpFile((1 << 30) - 1, 1, 24, 0, {}, Bytes(262090, 7)), 1000, 1},
        {"RLE8 1 x 4000000, 60 B", BmpFile(1, 4000000, 8, 1, onePalette, {0, 1}), 2000, 2000},
        {"RLE8 4000 x 3000 sparse, 1.1 KB", BmpFile(4000, 3000, 8, 1, GrayPalette(256), sparse), 4000, 1},
        {"RLE4 65535 x 1024, 140 B", BmpFile(65535, 1024, 4, 2, GrayPalette(16), {0x10, 0x21, 0, 1}), 522, 82},
        // Narrow and tall: one pixel per row, so any cost per row shows.
        {"24-bit 1 x 2^24, 1 KB", BmpFile(1, 1 << 24, 24, 0, {}, Bytes(970, 7)), 1, 1 << 24},
        {"24-bit 1 x 2^24, 1 KB", BmpFile(1, 1 << 24, 24, 0, {}, Bytes(970, 7)), 1, 1 << 23},
        {"24-bit 1 x 2^24, 1 KB", BmpFile(1, 1 << 24, 24, 0, {}, Bytes(970, 7)), 2, 1 << 24},
        {"24-bit 1 x 2^24, 1 KB", BmpFile(1, 1 << 24, 24, 0, {}, Bytes(970, 7)), 1, (1 << 24) - 1},
        {"24-bit 1 x 2^23, 1 KB", BmpFile(1, 1 << 23, 24, 0, {}, Bytes(970, 7)), 1, 1 << 24},
        {"24-bit photo 4000 x 3000", photo, 4000, 1},
        {"24-bit photo 4000 x 3000", photo, 1, 3000},
        {"24-bit photo 4000 x 3000", photo, 100, 75},
        {"24-bit photo 4000 x 3000", photo, 1, 1},
    };
    for (const auto& h : cases) {
        const std::string name = std::string(h.name) + " -> " + std::to_string(h.dw) + " x " + std::to_string(h.dh);
        if (!c.Wanted(name)) continue;
        const std::string path = c.dir + "/tessaly-hostile.bmp";
        WriteFile(path, h.file);
        std::vector<std::uint32_t> out(static_cast<std::size_t>(h.dw) * h.dh);
        ImageRequest req = Request(path, h.dw, h.dh);
        ImageRecord rec{};
        rec.pixels = out.data();
        const double sw = tessaly::LoadLe32Unchecked(&h.file[18]), sh = tessaly::LoadLe32Unchecked(&h.file[22]);
        timespec a{}, b{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
        const int result = c.plugin.imageProc(ImageCmdLoad, &req, &rec);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
        Row row{"Hostile geometries, scaled (CPU time; per (source + target) pixel; peak memory beyond the host's buffer)", name};
        row.ours = static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
        char note[96];
        std::snprintf(note, sizeof note, "%s, %.3f ns per pixel, peak %ld KiB", result == 0 ? "loaded" : "refused",
                      row.ours * 1e6 / (sw * sh + double(h.dw) * h.dh), PeakKiBOfLoad(c.plugin, path, h.dw, h.dh));
        row.note = note;
        Emit(row);
        std::remove(path.c_str());
    }
}

void MeasureSaves(const Context& c) {
    const int W = 4000, H = 3000;
    const double mpix = W * double(H) / 1e6;
    const auto photo = Photo(W, H);
    for (const int bits : {24, 32}) {
        const std::string name = "save " + std::to_string(bits) + "-bit";
        if (!c.Wanted(name)) continue;
        const std::string path = c.dir + "/tessaly-save.bmp";
        ImageRequest req = Request(path, W, H);
        req.bitCount = static_cast<std::uint8_t>(bits);
        ImageRecord rec{};
        rec.pixels = const_cast<std::uint32_t*>(photo.data());
        Row row{"Saves of 4000 x 3000 to " + c.dir, name};
        row.ours = TimeMs([&] { c.plugin.imageProc(ImageCmdSave, &req, &rec); });
        const Bytes same = ReadFileBytes(path);
        const std::string floorPath = c.dir + "/tessaly-floor.bmp";
        row.peers.emplace_back("one write()", TimeMs([&] {
                                   const int fd = open(floorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                                   (void)!write(fd, same.data(), same.size());
                                   close(fd);
                               }));
        const cv::Mat m(H, W, CV_8UC4, const_cast<std::uint32_t*>(photo.data()));
        cv::Mat bgr;
        row.peers.emplace_back("OpenCV", TimeMs([&] {
                                   if (bits == 24) {
                                       cv::cvtColor(m, bgr, cv::COLOR_BGRA2BGR);
                                       cv::imwrite(c.dir + "/tessaly-cv.bmp", bgr);
                                   } else {
                                       cv::imwrite(c.dir + "/tessaly-cv.bmp", m);
                                   }
                               }));
        row.peers.emplace_back("stb_image_write", TimeMs([&] {
                                   if (bits == 24) {
                                       std::vector<std::uint8_t> rgb(static_cast<std::size_t>(W) * H * 3);
                                       for (std::size_t i = 0; i < photo.size(); ++i) {
                                           rgb[3 * i] = static_cast<std::uint8_t>(photo[i] >> 16);
                                           rgb[3 * i + 1] = static_cast<std::uint8_t>(photo[i] >> 8);
                                           rgb[3 * i + 2] = static_cast<std::uint8_t>(photo[i]);
                                       }
                                       stbi_write_bmp((c.dir + "/tessaly-stb.bmp").c_str(), W, H, 3, rgb.data());
                                   } else {
                                       stbi_write_bmp((c.dir + "/tessaly-stb.bmp").c_str(), W, H, 4, photo.data());
                                   }
                               }));
        row.peers.emplace_back("SDL2", TimeMs([&] {
                                   SDL_Surface* s = SDL_CreateRGBSurfaceWithFormatFrom(
                                       const_cast<std::uint32_t*>(photo.data()), W, H, 32, W * 4, SDL_PIXELFORMAT_ARGB8888);
                                   SDL_Surface* t = bits == 24 ? SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_BGR24, 0) : s;
                                   SDL_SaveBMP(t, (c.dir + "/tessaly-sdl.bmp").c_str());
                                   if (t != s) SDL_FreeSurface(t);
                                   SDL_FreeSurface(s);
                               }));
        row.goal = Goal::FloorRatio;
        row.target = 1.15;
        row.against = "one write()";
        Emit(row);
        std::remove(floorPath.c_str());
    }
    if (c.Wanted("RLE8 encoder")) {
        // The encoder as a save runs it: the palette learnt, then each line indexed and encoded into one reused buffer.
        tessaly::Rle8Rows rows(W);
        std::vector<std::uint8_t> items(tessaly::MaxRle8LineBytes(W));
        const double ms = TimeMs([&] {
            tessaly::PaletteIndexer indexer;
            indexer.Learn(photo);
            for (int r = H; r-- > 0;)
                (void)indexer.EncodeRowRle8({&photo[static_cast<std::size_t>(r) * W], static_cast<std::size_t>(W)},
                                            rows, items.data());
        });
        Row row{"Saves of 4000 x 3000 to " + c.dir, "RLE8 encoder (indexer and stream, photo)", mpix / ms * 1000};
        row.goal = Goal::Rate;
        row.target = 600;
        Emit(row);
    }
    if (c.Wanted("8-bit RLE save")) {
        const std::string path = c.dir + "/tessaly-rle.bmp";
        ImageRequest req = Request(path, W, H);
        req.bitCount = 8;
        req.compression = 1;
        ImageRecord rec{};
        rec.pixels = const_cast<std::uint32_t*>(photo.data());
        Row row{"Saves of 4000 x 3000 to " + c.dir, "8-bit RLE save through the plug-in",
                mpix / TimeMs([&] { c.plugin.imageProc(ImageCmdSave, &req, &rec); }) * 1000};
        row.goal = Goal::Rate;
        row.target = 400;
        Emit(row);
        std::remove(path.c_str());
    }
    if (c.Wanted("save 32-bit to disk")) {
        // A disk-backed folder: ours syncs the file and its folder; the floor does the same by hand.
        const std::string disk = "/var/tmp";
        const std::string path = disk + "/tessaly-fsync.bmp";
        ImageRequest req = Request(path, W, H);
        req.bitCount = 32;
        ImageRecord rec{};
        rec.pixels = const_cast<std::uint32_t*>(photo.data());
        Row row{"Saves of 4000 x 3000 to " + c.dir, "save 32-bit to disk (/var/tmp), fsync included"};
        row.ours = TimeMs([&] { c.plugin.imageProc(ImageCmdSave, &req, &rec); });
        const Bytes same = ReadFileBytes(path);
        row.peers.emplace_back("write + fsync + rename", TimeMs([&] {
                                   const std::string tmp = disk + "/tessaly-fsync.tmp";
                                   const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                                   (void)!write(fd, same.data(), same.size());
                                   fsync(fd);
                                   close(fd);
                                   std::rename(tmp.c_str(), (disk + "/tessaly-fsync-floor.bmp").c_str());
                                   const int dfd = open(disk.c_str(), O_RDONLY | O_DIRECTORY);
                                   fsync(dfd);
                                   close(dfd);
                               }));
        const cv::Mat m(H, W, CV_8UC4, const_cast<std::uint32_t*>(photo.data()));
        row.peers.emplace_back("OpenCV (no sync)", TimeMs([&] { cv::imwrite(disk + "/tessaly-cv.bmp", m); }));
        row.goal = Goal::FloorRatio;
        row.target = 1.1;
        row.against = "write + fsync + rename";
        Emit(row);
        for (const char* f : {"/tessaly-fsync.bmp", "/tessaly-fsync-floor.bmp", "/tessaly-cv.bmp"}) std::remove((disk + f).c_str());
    }
    for (const char* f : {"/tessaly-save.bmp", "/tessaly-cv.bmp", "/tessaly-stb.bmp", "/tessaly-sdl.bmp"}) std::remove((c.dir + f).c_str());
}

int RunChild(const Context& c) {
    cv::setNumThreads(1);
    MeasureLoads(c);
    MeasureConverted(c);
    MeasureSmallLoads(c);
    MeasureScaled(c);
    MeasureHostile(c);
    MeasureSaves(c);
    std::remove((c.dir + "/tessaly-bench.bmp").c_str());
    return 0;
}

// ---- The parent: both modes, one table ----

struct Merged {
    Row shipped, reused;
    bool haveShipped = false, haveReused = false;
};

std::vector<Row> ParseRows(const std::string& text) {
    std::vector<Row> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("R\t", 0) != 0) continue;
        std::vector<std::string> f;
        std::size_t at = 2;
        for (std::size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) f.push_back(line.substr(at, tab - at));
        f.push_back(line.substr(at));
        if (f.size() < 7) continue;
        Row r{f[0], f[1], std::stod(f[2])};
        r.goal = static_cast<Goal>(std::stoi(f[3]));
        r.target = std::stod(f[4]);
        r.against = f[5];
        r.note = f[6];
        for (std::size_t i = 7; i < f.size(); ++i) {
            const auto eq = f[i].rfind('=');
            r.peers.emplace_back(f[i].substr(0, eq), std::stod(f[i].substr(eq + 1)));
        }
        rows.push_back(r);
    }
    return rows;
}

std::string RunMode(char** argv, const char* tunables) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        if (tunables) setenv("GLIBC_TUNABLES", tunables, 1);
        else unsetenv("GLIBC_TUNABLES");
        setenv("TESSALY_BENCH_CHILD", "1", 1);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return out;
}

double BestPeer(const Row& r, std::string* who = nullptr) {
    double best = 0;
    for (const auto& [name, ms] : r.peers)
        if (name.find("write") == std::string::npos && name.find("memcpy") == std::string::npos && (best == 0 || ms < best)) {
            best = ms;
            if (who) *who = name;
        }
    return best;
}

double PeerMs(const Row& r, const std::string& name) {
    for (const auto& [n, ms] : r.peers)
        if (n == name) return ms;
    return 0;
}

// The figure a row's goal judges, in one mode, and whether it meets the goal.
std::pair<double, bool> Judge(const Row& r) {
    switch (r.goal) {
    case Goal::PeerRatio: {
        const double ratio = PeerMs(r, r.against) / r.ours;
        return {ratio, ratio >= r.target};
    }
    case Goal::BestPeerRatio: {
        const double ratio = BestPeer(r) / r.ours;
        return {ratio, ratio >= r.target};
    }
    case Goal::FloorRatio: {
        const double ratio = r.ours / PeerMs(r, r.against);
        return {ratio, ratio <= r.target};
    }
    case Goal::Rate: return {r.ours, r.ours >= r.target};
    case Goal::TimeUnder: return {r.ours, r.ours <= r.target};
    case Goal::None: return {r.ours, true};
    }
    return {0, false};
}

std::string GoalText(const Row& r) {
    char t[96];
    switch (r.goal) {
    case Goal::PeerRatio: std::snprintf(t, sizeof t, ">= %.1fx %s", r.target, r.against.c_str()); break;
    case Goal::BestPeerRatio: std::snprintf(t, sizeof t, ">= %.1fx every peer", r.target); break;
    case Goal::FloorRatio: std::snprintf(t, sizeof t, "<= %.2fx %s", r.target, r.against.c_str()); break;
    case Goal::Rate: std::snprintf(t, sizeof t, ">= %.0f Mpix/s", r.target); break;
    case Goal::TimeUnder: std::snprintf(t, sizeof t, "< %.0f us", r.target * 1000); break;
    case Goal::None: return "";
    }
    return t;
}

std::string Figure(const Row& r) {
    char t[48];
    const auto [value, met] = Judge(r);
    if (r.goal == Goal::Rate) std::snprintf(t, sizeof t, "%.0f Mpix/s", value);
    else if (r.goal == Goal::TimeUnder) std::snprintf(t, sizeof t, "%.1f us", value * 1000);
    else if (r.goal == Goal::None) std::snprintf(t, sizeof t, "%.2f ms", value);
    else if (r.ours < 0.1) std::snprintf(t, sizeof t, "%.1f us, %.2fx", r.ours * 1000, value);
    else std::snprintf(t, sizeof t, "%.2f ms, %.2fx", r.ours, value);
    return t;
}

// ---- What this CPU runs ----

// The CPU's name as the kernel reports it.
std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line, name = "unknown CPU", vendor = "?", family = "?", model = "?";
    while (std::getline(in, line) && !line.empty()) {  // the first processor's lines
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon + 2 > line.size()) continue;
        const std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
        const std::string value = line.substr(colon + 2);
        if (key == "model name") name = value;
        if (key == "vendor_id") vendor = value;
        if (key == "cpu family") family = value;
        if (key == "model") model = value;
    }
    return name + " (" + vendor + ", family " + family + ", model " + model + ")";
}

const char* LevelName(tessaly::Simd s) {
    switch (s) {
    case tessaly::Simd::Scalar: return "plain";
    case tessaly::Simd::Sse2: return "SSE2";
    case tessaly::Simd::Ssse3: return "SSSE3";
    case tessaly::Simd::Avx2: return "AVX2";
    case tessaly::Simd::Avx512: return "AVX-512";
    case tessaly::Simd::Avx512Vbmi: return "AVX-512 VBMI";
    }
    return "?";
}

// The variant each kernel family runs at this CPU's level (the families' own
// choices, mirrored: each takes its best variant at or below the level).
struct Kernels {
    std::string expansion, resampler, packing, encoder, colour;
    std::string rleStretch, rle8Expand, rle4Expand, repeats, unknownClasses, transparency;
};

Kernels KernelsHere() {
    using tessaly::Simd;
    const Simd best = tessaly::BestSimd();
    auto pick = [&](std::initializer_list<Simd> variants) {
        Simd chosen = Simd::Scalar;
        for (const Simd v : variants)
            if (v <= best) chosen = v;
        return std::string(LevelName(chosen));
    };
    Kernels k;
    k.expansion = pick({Simd::Ssse3, Simd::Avx2});
    k.resampler = pick({Simd::Sse2, Simd::Avx2});
    k.packing = pick({Simd::Ssse3, Simd::Avx2});
    k.encoder = pick({Simd::Sse2, Simd::Avx2});
    k.rleStretch = pick({Simd::Ssse3});
    k.rle8Expand = pick({Simd::Avx512Vbmi});
    k.rle4Expand = pick({Simd::Ssse3, Simd::Avx2, Simd::Avx512});
    k.repeats = pick({Simd::Sse2, Simd::Avx2});
    k.unknownClasses = pick({Simd::Avx2, Simd::Avx512Vbmi});
    k.transparency = pick({Simd::Sse2, Simd::Avx2});
    // The colour conversion's AVX2 and AVX-512 kernels also need FMA and BMI2.
    const bool fmaBmi2 = tessaly::Cpu().fma && tessaly::Cpu().bmi2;
    k.colour = fmaBmi2 ? pick({Simd::Sse2, Simd::Avx2, Simd::Avx512}) : pick({Simd::Sse2});
    return k;
}

// The vector kernels a row runs, by its name.
std::string VectorOf(const Row& r, const Kernels& k) {
    const std::string& n = r.name;
    if (n.find("converted 24-bit") != std::string::npos)
        return "colour " + k.colour + ", 24-bit expansion " + k.expansion;
    if (n.find("converted 8-bit") != std::string::npos) return "colour " + k.colour + " (the 256 table entries)";
    if (n.rfind("scale", 0) == 0) return "24-bit expansion " + k.expansion + ", resampler " + k.resampler;
    if (n.find(" -> ") != std::string::npos)
        return "resampler " + k.resampler + (n.rfind("24-bit", 0) == 0 ? ", 24-bit expansion " + k.expansion : "");
    if (n.rfind("load", 0) == 0 && n.find("24-bit") != std::string::npos) return "24-bit expansion " + k.expansion;
    if (n.rfind("load RLE8", 0) == 0) return "RLE stretches " + k.rleStretch + ", RLE8 expansion " + k.rle8Expand;
    if (n.rfind("load RLE4", 0) == 0) return "RLE stretches " + k.rleStretch + ", RLE4 expansion " + k.rle4Expand;
    if (n.rfind("save 24-bit", 0) == 0) return "24-bit packing " + k.packing;
    if (n.rfind("save 32-bit", 0) == 0) return "transparency check " + k.transparency + " (rows written as they lie)";
    if (n.find("RLE8 encoder") != std::string::npos || n.find("8-bit RLE save") != std::string::npos)
        return "RLE8 classifier " + k.encoder + ", repeat bits " + k.repeats + ", unknown-class search " +
               k.unknownClasses;
    return "none (plain code)";
}

int RunParent(char** argv) {
    const std::vector<Row> shipped = ParseRows(RunMode(argv, nullptr));
    const std::vector<Row> reused = ParseRows(RunMode(argv, kReusedTunables));
    std::vector<std::string> order;
    std::map<std::string, Merged> rows;
    for (const auto* set : {&shipped, &reused})
        for (const Row& r : *set) {
            const std::string key = r.section + "|" + r.name;
            if (!rows.count(key)) order.push_back(key);
            Merged& m = rows[key];
            (set == &shipped ? m.shipped : m.reused) = r;
            (set == &shipped ? m.haveShipped : m.haveReused) = true;
        }
    const Kernels kernels = KernelsHere();
    std::printf("CPU: %s, %ld logical CPUs; vector level %s\n", CpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
                LevelName(tessaly::BestSimd()));
    std::printf(
        "Kernels at this level: colour conversion %s; 24-bit expansion %s; resampler %s; 24-bit packing %s; "
        "RLE8 indexer and classifier %s; RLE stretches %s, RLE8 expansion %s, RLE4 expansion %s\n",
        kernels.colour.c_str(), kernels.expansion.c_str(), kernels.resampler.c_str(), kernels.packing.c_str(),
        kernels.encoder.c_str(), kernels.rleStretch.c_str(), kernels.rle8Expand.c_str(), kernels.rle4Expand.c_str());
    std::printf("Two child processes each: glibc's allocator as shipped, and freed memory reused (%s).\n", kReusedTunables);
    std::printf("Figures: shipped / reused. Ratios: the peer's (or the floor's) time over ours, or ours over the floor.\n");
    std::string section;
    int met = 0, judged = 0;
    for (const std::string& key : order) {
        const Merged& m = rows[key];
        const Row& a = m.haveShipped ? m.shipped : m.reused;
        if (a.section != section) {
            section = a.section;
            std::printf("\n%s\n", section.c_str());
        }
        const Row& b = m.haveReused ? m.reused : a;
        std::string peers;
        for (const auto& [name, ms] : a.peers) {
            char t[96];
            if (ms < 0.1) std::snprintf(t, sizeof t, "%s%s %.1f / %.1f us", peers.empty() ? "" : ", ", name.c_str(), ms * 1000, PeerMs(b, name) * 1000);
            else std::snprintf(t, sizeof t, "%s%s %.2f / %.2f ms", peers.empty() ? "" : ", ", name.c_str(), ms, PeerMs(b, name));
            peers += t;
        }
        const bool ok = Judge(a).second && Judge(b).second;
        if (a.goal != Goal::None) {
            ++judged;
            met += ok;
        }
        std::printf("  %-44s %-24s / %-24s %-28s %s\n", a.name.c_str(), Figure(a).c_str(), Figure(b).c_str(),
                    GoalText(a).c_str(), a.goal == Goal::None ? "" : ok ? "met" : "NOT MET");
        if (!peers.empty()) std::printf("  %-44s %s\n", "", peers.c_str());
        if (!a.note.empty()) std::printf("  %-44s %s\n", "", a.note.c_str());
        std::printf("  %-44s vector: %s\n", "", VectorOf(a, kernels).c_str());
    }
    std::printf("\n%d of %d goals met in both modes\n", met, judged);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tessaly_bench PLUGIN [WORK_DIR] [--quick] [--only TEXT] [--keep]\n");
        return 2;
    }
    if (!std::getenv("TESSALY_BENCH_CHILD")) return RunParent(argv);
    Context c;
    LoadPlugin(c.plugin, argv[1]);
    c.dir = argc > 2 && argv[2][0] != '-' ? argv[2] : "/dev/shm";
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") g_repeats = 3;
        if (a == "--keep") c.keep = true;
        if (a == "--only" && i + 1 < argc) c.only = argv[++i];
    }
    return RunChild(c);
}
