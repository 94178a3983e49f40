// Side-by-side benchmarks: loads, scaled loads and saves through the
// plug-in's exports (as a host drives them, into a host buffer allocated once)
// against OpenCV and stb_image, with a memcpy and a single write() as floors.
// Prints each figure with the peer's beside it and the ratio.
//
// usage: tessaly_bench PLUGIN [WORK_DIR] [--quick]
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bmp/read/bmp_layout.h"
#include "bmp/write/encode.h"
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

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

int g_repeats = 7;

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

struct Plugin {
    TessalyImageProc imageProc = nullptr;
};

Plugin LoadPlugin(const char* path) {
    void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        std::exit(1);
    }
    return {reinterpret_cast<TessalyImageProc>(dlsym(h, "ImageProc"))};
}

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

Bytes BmpFile(int w, int h, int bits, std::uint32_t compression, const std::vector<std::uint32_t>& palette,
              const Bytes& data) {
    Bytes f(54, 0);
    f[0] = 'B';
    f[1] = 'M';
    Put32(f, 14, 40);
    Put32(f, 18, static_cast<std::uint32_t>(w));
    Put32(f, 22, static_cast<std::uint32_t>(h));
    Put16(f, 26, 1);
    Put16(f, 28, static_cast<std::uint32_t>(bits));
    Put32(f, 30, compression);
    Put32(f, 46, static_cast<std::uint32_t>(palette.size()));
    for (const std::uint32_t c : palette) {
        f.resize(f.size() + 4);
        Put32(f, f.size() - 4, c);
    }
    Put32(f, 10, static_cast<std::uint32_t>(f.size()));
    f.insert(f.end(), data.begin(), data.end());
    Put32(f, 2, static_cast<std::uint32_t>(f.size()));
    return f;
}

// A matrix/TRC ICC profile that is not sRGB: Adobe RGB's colorants (D50) and a
// gamma of 1.8 for every channel.
Bytes WideGamutProfile() {
    auto be32 = [](Bytes& b, std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    const double colorants[3][3] = {{0.6097, 0.3111, 0.0195}, {0.2053, 0.6257, 0.0609}, {0.1492, 0.0632, 0.7446}};
    constexpr std::size_t kTags = 132, kData = kTags + 6 * 12, kCurve = kData + 3 * 20;
    Bytes p(kCurve + 16, 0);
    be32(p, 0, static_cast<std::uint32_t>(p.size()));
    be32(p, 8, 0x02100000);
    std::memcpy(&p[12], "mntrRGB XYZ ", 12);
    std::memcpy(&p[36], "acsp", 4);
    be32(p, 128, 6);
    const char* names[6] = {"rXYZ", "gXYZ", "bXYZ", "rTRC", "gTRC", "bTRC"};
    for (std::size_t t = 0; t < 6; ++t) {
        std::memcpy(&p[kTags + 12 * t], names[t], 4);
        be32(p, kTags + 12 * t + 4, static_cast<std::uint32_t>(t < 3 ? kData + 20 * t : kCurve));
        be32(p, kTags + 12 * t + 8, t < 3 ? 20 : 14);
    }
    for (std::size_t c = 0; c < 3; ++c) {
        std::memcpy(&p[kData + 20 * c], "XYZ ", 4);
        for (std::size_t i = 0; i < 3; ++i)
            be32(p, kData + 20 * c + 8 + 4 * i, static_cast<std::uint32_t>(std::lround(colorants[c][i] * 65536)));
    }
    std::memcpy(&p[kCurve], "curv", 4);
    be32(p, kCurve + 8, 1);
    p[kCurve + 12] = 1;  // 1.8 as u8.8: 0x01CD
    p[kCurve + 13] = 0xCD;
    return p;
}

// The same picture as BmpFile makes, with a V5 header and `profile` embedded after the pixels.
Bytes BmpFileWithProfile(int w, int h, int bits, const std::vector<std::uint32_t>& palette, const Bytes& data,
                         const Bytes& profile) {
    const Bytes plain = BmpFile(w, h, bits, 0, palette, data);
    Bytes f(plain.begin(), plain.begin() + 54);
    f.insert(f.begin() + 54, 124 - 40, 0);
    Put32(f, 14, 124);
    f.insert(f.end(), plain.begin() + 54, plain.end());
    Put32(f, 10, static_cast<std::uint32_t>(54 + 84 + 4 * palette.size()));
    Put32(f, 14 + 56, 0x4D424544);  // PROFILE_EMBEDDED
    Put32(f, 14 + 112, static_cast<std::uint32_t>(f.size() - 14));
    Put32(f, 14 + 116, static_cast<std::uint32_t>(profile.size()));
    f.insert(f.end(), profile.begin(), profile.end());
    Put32(f, 2, static_cast<std::uint32_t>(f.size()));
    return f;
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
            k = std::max(k, 3);
            k = std::min(k, w - x);
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

ImageRequest Request(const std::string& path, int w, int h) {
    ImageRequest r{};
    std::memcpy(r.filePath, path.c_str(), path.size() + 1);
    r.width = w;
    r.height = h;
    return r;
}

// Peak resident memory added by one load at the file's size, measured in a
// child process: the host's buffer is allocated and touched first, then the
// kernel's high-water mark is reset and read again after the load.
long PeakKiBOfLoad(const Plugin& p, const std::string& path, int w, int h) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::uint32_t> host(static_cast<std::size_t>(w) * h, 1);
        auto hwm = [] {
            std::ifstream s("/proc/self/status");
            std::string line;
            while (std::getline(s, line))
                if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
            return 0L;
        };
        auto rss = [] {
            std::ifstream s("/proc/self/status");
            std::string line;
            while (std::getline(s, line))
                if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
            return 0L;
        };
        { std::ofstream("/proc/self/clear_refs") << "5"; }
        const long before = std::max(hwm(), rss());
        ImageRequest r = Request(path, w, h);
        ImageRecord rec{};
        rec.pixels = host.data();
        p.imageProc(ImageCmdLoad, &r, &rec);
        const long delta = hwm() - before;
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

void Row(const char* what, double oursMs, const char* peer, double peerMs, double mpix) {
    std::printf("  %-34s ours %8.2f ms (%6.0f Mpix/s)   %-14s %8.2f ms (%6.0f Mpix/s)   ratio %5.2fx\n", what, oursMs,
                mpix / oursMs * 1000, peer, peerMs, mpix / peerMs * 1000, peerMs / oursMs);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tessaly_bench PLUGIN [WORK_DIR] [--quick]\n");
        return 2;
    }
    const Plugin plugin = LoadPlugin(argv[1]);
    const std::string dir = argc > 2 && argv[2][0] != '-' ? argv[2] : "/dev/shm";
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--quick") g_repeats = 3;
    cv::setNumThreads(1);
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    std::printf("allocator: %s\n", tunables ? tunables : "glibc as shipped");

    const int W = 4000, H = 3000;
    const double mpix = W * double(H) / 1e6;
    std::vector<std::uint32_t> host(static_cast<std::size_t>(W) * H, 0);  // the host's buffer, allocated once

    const auto photo = Photo(W, H);
    struct Sample {
        const char* name;
        Bytes file;
    };
    std::vector<Sample> samples;
    {
        Bytes d24, d32;
        const std::size_t s24 = (static_cast<std::size_t>(W) * 3 + 3) / 4 * 4;
        d24.assign(s24 * H, 0);
        d32.assign(static_cast<std::size_t>(W) * 4 * H, 0);
        for (int r = 0; r < H; ++r)
            for (int x = 0; x < W; ++x) {
                const std::uint32_t p = photo[static_cast<std::size_t>(H - 1 - r) * W + x];
                std::memcpy(&d24[r * s24 + static_cast<std::size_t>(x) * 3], &p, 3);
                std::memcpy(&d32[(static_cast<std::size_t>(r) * W + x) * 4], &p, 4);
            }
        samples.push_back({"24-bit", BmpFile(W, H, 24, 0, {}, d24)});
        samples.push_back({"32-bit", BmpFile(W, H, 32, 0, {}, d32)});
    }
    const auto idx8 = Indices(W, H, 256, false), idx4 = Indices(W, H, 16, false), idx1 = Indices(W, H, 2, false);
    const auto scr8 = Indices(W, H, 256, true), scr4 = Indices(W, H, 16, true);
    samples.push_back({"8-bit", BmpFile(W, H, 8, 0, GrayPalette(256), PackIndexed(idx8, W, H, 8))});
    samples.push_back({"4-bit", BmpFile(W, H, 4, 0, GrayPalette(16), PackIndexed(idx4, W, H, 4))});
    samples.push_back({"1-bit", BmpFile(W, H, 1, 0, GrayPalette(2), PackIndexed(idx1, W, H, 1))});
    samples.push_back({"RLE8 photo", BmpFile(W, H, 8, 1, GrayPalette(256), Rle8(idx8, W, H))});
    samples.push_back({"RLE8 screen", BmpFile(W, H, 8, 1, GrayPalette(256), Rle8(scr8, W, H))});
    samples.push_back({"RLE4 photo", BmpFile(W, H, 4, 2, GrayPalette(16), Rle4(idx4, W, H))});
    samples.push_back({"RLE4 screen", BmpFile(W, H, 4, 2, GrayPalette(16), Rle4(scr4, W, H))});

    std::printf("\nLoad at the file's own size, 4000 x 3000 (peer: cv::imdecode + cvtColor to BGRA; goal 1.2x, RLE 2x)\n");
    const double floor = TimeMs([&] { std::memcpy(host.data(), photo.data(), photo.size() * 4); });
    std::printf("  memcpy of the output: %.2f ms (%.0f Mpix/s)\n", floor, mpix / floor * 1000);
    for (const Sample& s : samples) {
        const std::string path = dir + "/tessaly-bench.bmp";
        WriteFile(path, s.file);
        ImageRequest req = Request(path, W, H);
        ImageRecord rec{};
        rec.pixels = host.data();
        if (plugin.imageProc(ImageCmdLoad, &req, &rec) != 0) std::printf("  %s: LOAD FAILED\n", s.name);
        const double ours = TimeMs([&] { plugin.imageProc(ImageCmdLoad, &req, &rec); });
        const cv::Mat encoded(1, static_cast<int>(s.file.size()), CV_8U, const_cast<std::uint8_t*>(s.file.data()));
        cv::Mat decoded, bgra;
        const double cv = TimeMs([&] {
            decoded = cv::imdecode(encoded, cv::IMREAD_COLOR);
            cv::cvtColor(decoded, bgra, cv::COLOR_BGR2BGRA);
        });
        Row(s.name, ours, "OpenCV", cv, mpix);
        int sw, sh, sn;
        stbi_uc* probe = stbi_load_from_memory(s.file.data(), static_cast<int>(s.file.size()), &sw, &sh, &sn, 4);
        if (probe) {
            stbi_image_free(probe);
            const double stb = TimeMs([&] {
                stbi_image_free(stbi_load_from_memory(s.file.data(), static_cast<int>(s.file.size()), &sw, &sh, &sn, 4));
            });
            std::printf("  %-34s %55s %8.2f ms (%6.0f Mpix/s)   ratio %5.2fx\n", "", "stb_image", stb, mpix / stb * 1000, stb / ours);
        }
        const long peak = PeakKiBOfLoad(plugin, path, W, H);
        std::printf("  %-34s peak memory beyond the host's buffer: %ld KiB (file %zu KiB)\n", "", peak, s.file.size() / 1024);
    }

    std::printf("\nLoads converted to sRGB, 4000 x 3000: an embedded profile (Adobe RGB primaries, gamma 1.8) against\n"
                "the same pixels without one (goal: at most 2x)\n");
    {
        const Bytes profile = WideGamutProfile();
        const Bytes& plain24 = samples[0].file;
        const Bytes& plain8 = samples[2].file;
        const std::size_t stride24 = (static_cast<std::size_t>(W) * 3 + 3) / 4 * 4;
        const struct {
            const char* name;
            const Bytes& plain;
            Bytes converted;
        } pairs[] = {
            {"24-bit", plain24, BmpFileWithProfile(W, H, 24, {}, Bytes(plain24.begin() + 54, plain24.begin() + 54 + stride24 * H), profile)},
            {"8-bit (the table is converted)", plain8,
             BmpFileWithProfile(W, H, 8, GrayPalette(256), Bytes(plain8.begin() + 54 + 1024, plain8.end()), profile)},
        };
        for (const auto& pair : pairs) {
            double ms[2];
            long peak = 0;
            for (int k = 0; k < 2; ++k) {
                const std::string path = dir + "/tessaly-bench.bmp";
                WriteFile(path, k == 0 ? pair.plain : pair.converted);
                ImageRequest req = Request(path, W, H);
                ImageRecord rec{};
                rec.pixels = host.data();
                if (plugin.imageProc(ImageCmdLoad, &req, &rec) != 0) std::printf("  %s: LOAD FAILED\n", pair.name);
                ms[k] = TimeMs([&] { plugin.imageProc(ImageCmdLoad, &req, &rec); });
                if (k == 1) peak = PeakKiBOfLoad(plugin, path, W, H);
            }
            std::printf("  %-34s as stored %8.2f ms, converted %8.2f ms: %.2fx; peak memory beyond the host's buffer %ld KiB\n",
                        pair.name, ms[0], ms[1], ms[1] / ms[0], peak);
        }
    }

    std::printf("\nScaled loads (ours: the whole load; peer: cv::resize INTER_CUBIC alone, one thread)\n");
    struct Scale {
        int sw, sh, dw, dh;
        double goal;  // how many times faster than the peer
    };
    for (const Scale sc : {Scale{4000, 3000, 1000, 750, 1.5}, Scale{4000, 3000, 2000, 1500, 1.5}, Scale{640, 480, 1920, 1440, 3.0}}) {
        const auto src = sc.sw == W ? photo : Photo(sc.sw, sc.sh);
        const std::size_t stride = (static_cast<std::size_t>(sc.sw) * 3 + 3) / 4 * 4;
        Bytes d24(stride * sc.sh, 0);
        for (int r = 0; r < sc.sh; ++r)
            for (int x = 0; x < sc.sw; ++x)
                std::memcpy(&d24[r * stride + static_cast<std::size_t>(x) * 3], &src[static_cast<std::size_t>(sc.sh - 1 - r) * sc.sw + x], 3);
        const std::string path = dir + "/tessaly-bench.bmp";
        WriteFile(path, BmpFile(sc.sw, sc.sh, 24, 0, {}, d24));
        std::vector<std::uint32_t> out(static_cast<std::size_t>(sc.dw) * sc.dh);
        ImageRequest req = Request(path, sc.dw, sc.dh);
        ImageRecord rec{};
        rec.pixels = out.data();
        const double ours = TimeMs([&] { plugin.imageProc(ImageCmdLoad, &req, &rec); });
        const cv::Mat srcMat(sc.sh, sc.sw, CV_8UC4, const_cast<std::uint32_t*>(src.data()));
        cv::Mat dst(sc.dh, sc.dw, CV_8UC4);
        const double cv = TimeMs([&] { cv::resize(srcMat, dst, dst.size(), 0, 0, cv::INTER_CUBIC); });
        char what[64];
        std::snprintf(what, sizeof what, "%dx%d -> %dx%d", sc.sw, sc.sh, sc.dw, sc.dh);
        Row(what, ours, "cv::resize", cv, sc.dw * double(sc.dh) / 1e6);
        std::printf("  %-34s goal %.1fx: %s\n", "", sc.goal, cv / ours >= sc.goal ? "met" : "NOT MET");
    }

    std::printf("\nHostile geometries, scaled: CPU time per (source + target) pixel, peak memory beyond the host's buffer\n");
    {
        struct Hostile {
            const char* name;
            Bytes file;
            int dw, dh;
        };
        const std::vector<std::uint32_t> onePalette = {0x102030};
        Bytes sparse;  // two rows drawn, then the end of the bitmap
        for (int r = 0; r < 2; ++r) {
            for (int k = 0; k < 15; ++k) sparse.insert(sparse.end(), {255, static_cast<std::uint8_t>(r * 7 + k)});
            sparse.insert(sparse.end(), {static_cast<std::uint8_t>(4000 - 15 * 255), 9, 0, 0});
        }
        sparse.insert(sparse.end(), {0, 1});
        std::vector<Hostile> cases;
        cases.push_back({"24-bit 1 x 2^20, 310 B", BmpFile(1, 1 << 20, 24, 0, {}, Bytes(256, 7)), 1024, 1});
        cases.push_back({"24-bit 1 x 2^20, 310 B", BmpFile(1, 1 << 20, 24, 0, {}, Bytes(256, 7)), 4096, 4096});
        cases.push_back({"24-bit 1 x 2^22, 1 KB", BmpFile(1, 1 << 22, 24, 0, {}, Bytes(970, 7)), 128, 1});
        cases.push_back({"24-bit 2^26 x 1, 16 KB", BmpFile(1 << 26, 1, 24, 0, {}, Bytes(16330, 7)), 1, 1});
        cases.push_back({"24-bit (2^30-1) x 1, 262 KB", BmpFile((1 << 30) - 1, 1, 24, 0, {}, Bytes(262090, 7)), 1000, 1});
        cases.push_back({"RLE8 1 x 4000000, 60 B", BmpFile(1, 4000000, 8, 1, onePalette, {0, 1}), 2000, 2000});
        cases.push_back({"RLE8 4000 x 3000 sparse, 1.1 KB", BmpFile(4000, 3000, 8, 1, GrayPalette(256), sparse), 4000, 1});
        cases.push_back({"RLE4 65535 x 1024, 140 B", BmpFile(65535, 1024, 4, 2, GrayPalette(16), {0x10, 0x21, 0, 1}), 522, 82});
        for (const auto& [dw, dh] : {std::pair{4000, 1}, {1, 3000}, {100, 75}, {1, 1}})
            cases.push_back({"24-bit photo 4000 x 3000", samples[0].file, dw, dh});
        for (const Hostile& c : cases) {
            const std::string path = dir + "/tessaly-hostile.bmp";
            WriteFile(path, c.file);
            std::vector<std::uint32_t> out(static_cast<std::size_t>(c.dw) * c.dh);
            ImageRequest req = Request(path, c.dw, c.dh);
            ImageRecord rec{};
            rec.pixels = out.data();
            const int sw = static_cast<int>(tessaly::LoadLe32Unchecked(&c.file[18]));
            const int sh = static_cast<int>(tessaly::LoadLe32Unchecked(&c.file[22]));
            timespec a{}, b{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
            const int result = plugin.imageProc(ImageCmdLoad, &req, &rec);
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
            const double ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
            const double pixels = double(sw) * sh + double(c.dw) * c.dh;
            std::printf("  %-32s -> %4d x %-4d %-7s %9.2f ms CPU, %7.3f ns per pixel, peak %6ld KiB\n", c.name, c.dw, c.dh,
                        result == 0 ? "loaded" : "refused", ms, ms * 1e6 / pixels, PeakKiBOfLoad(plugin, path, c.dw, c.dh));
        }
        std::remove((dir + "/tessaly-hostile.bmp").c_str());
    }

    std::printf("\nSaves of 4000 x 3000 to %s (floor: one write() of the same bytes; goal at most 1.3x the floor)\n", dir.c_str());
    for (const int bits : {24, 32}) {
        const std::string path = dir + "/tessaly-save.bmp";
        ImageRequest req = Request(path, W, H);
        req.bitCount = static_cast<std::uint8_t>(bits);
        ImageRecord rec{};
        rec.pixels = const_cast<std::uint32_t*>(photo.data());
        const double ours = TimeMs([&] { plugin.imageProc(ImageCmdSave, &req, &rec); });
        Bytes same;
        {
            std::ifstream in(path, std::ios::binary);
            same.assign(std::istreambuf_iterator<char>(in), {});
        }
        const std::string floorPath = dir + "/tessaly-floor.bmp";
        const double writeFloor = TimeMs([&] {
            const int fd = open(floorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            (void)!write(fd, same.data(), same.size());
            close(fd);
        });
        const cv::Mat m(H, W, CV_8UC4, const_cast<std::uint32_t*>(photo.data()));
        cv::Mat bgr;
        const double cv = TimeMs([&] {
            if (bits == 24) {
                cv::cvtColor(m, bgr, cv::COLOR_BGRA2BGR);
                cv::imwrite(dir + "/tessaly-cv.bmp", bgr);
            } else {
                cv::imwrite(dir + "/tessaly-cv.bmp", m);
            }
        });
        const double stb = TimeMs([&] { stbi_write_bmp((dir + "/tessaly-stb.bmp").c_str(), W, H, 4, photo.data()); });
        std::printf("  %d-bit: ours %.2f ms, single write() %.2f ms (ours / floor %.2fx), OpenCV imwrite %.2f ms (%.2fx), stb_image_write %.2f ms (%.2fx)\n",
                    bits, ours, writeFloor, ours / writeFloor, cv, cv / ours, stb, stb / ours);
        std::remove(floorPath.c_str());
    }
    {
        // The encoder as the writer runs it: palette pass, then each line indexed and encoded into one reused buffer.
        std::vector<std::uint8_t> line(W), items(tessaly::MaxRle8LineBytes(W));
        std::size_t streamBytes = 0;
        const auto t = TimeMs([&] {
            tessaly::PaletteIndexer indexer;
            indexer.Learn(photo);
            streamBytes = 0;
            for (int r = H; r-- > 0;) {
                indexer.IndexRow({&photo[static_cast<std::size_t>(r) * W], static_cast<std::size_t>(W)}, line);
                streamBytes += tessaly::EncodeRle8Line(line, items.data());
            }
        });
        std::printf("  RLE8 encoder (palette indexer and stream) on the photo: %.2f ms, %.0f Mpix/s (goal 300), stream %zu KiB\n",
                    t, mpix / t * 1000, streamBytes / 1024);
        const std::string path = dir + "/tessaly-rle.bmp";
        ImageRequest req = Request(path, W, H);
        req.bitCount = 8;
        req.compression = 1;
        ImageRecord rec{};
        rec.pixels = const_cast<std::uint32_t*>(photo.data());
        const double save = TimeMs([&] { plugin.imageProc(ImageCmdSave, &req, &rec); });
        std::printf("  8-bit RLE save through the plug-in: %.2f ms (%.0f Mpix/s)\n", save, mpix / save * 1000);
        std::remove(path.c_str());
        const std::string diskPath = "/tmp/tessaly-fsync.bmp";
        ImageRequest diskReq = Request(diskPath, W, H);
        diskReq.bitCount = 24;
        const double disk = TimeMs([&] { plugin.imageProc(ImageCmdSave, &diskReq, &rec); });
        std::printf("  24-bit save to the disk-backed /tmp, fsync included: %.2f ms\n", disk);
        std::remove(diskPath.c_str());
    }
    std::remove((dir + "/tessaly-bench.bmp").c_str());
    std::remove((dir + "/tessaly-save.bmp").c_str());
    std::remove((dir + "/tessaly-cv.bmp").c_str());
    std::remove((dir + "/tessaly-stb.bmp").c_str());
    return 0;
}
