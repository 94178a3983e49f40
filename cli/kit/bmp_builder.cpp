// The BMP builder; see bmp_builder.h.
#include "kit/bmp_builder.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace tessaly::kit {

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

Bytes BmpBuilder::Build() const {
    const bool core = headerSize == 12;
    const std::size_t headerBytes = headerSize < 16 && !core ? 40 : headerSize;
    Bytes out(14 + headerBytes, 0);
    Put16(out, 0, magic);
    Put32(out, 14, headerSize);
    if (core) {
        Put16(out, 18, static_cast<std::uint16_t>(width));
        Put16(out, 20, static_cast<std::uint16_t>(height));
        Put16(out, 22, 1);
        Put16(out, 24, bitCount);
    } else {
        Bytes info(std::max<std::size_t>(headerBytes, 40), 0);
        Put32(info, 0, headerSize);
        Put32(info, 4, static_cast<std::uint32_t>(width));
        Put32(info, 8, static_cast<std::uint32_t>(height));
        Put16(info, 12, 1);
        Put16(info, 14, bitCount);
        Put32(info, 16, compression);
        Put32(info, 32, clrUsed);
        if (headerBytes >= 52) {
            for (std::size_t i = 0; i < masks.size() && 40 + 4 * i + 4 <= headerBytes; ++i)
                Put32(info, 40 + 4 * i, masks[i]);
        }
        if (headerBytes >= 108) {
            Put32(info, 56, colourSpace);
            for (std::size_t i = 0; i < calibration.size(); ++i) Put32(info, 60 + 4 * i, calibration[i]);
        }
        std::copy(info.begin(), info.begin() + static_cast<std::ptrdiff_t>(headerBytes), out.begin() + 14);
    }
    if (headerBytes == 40) {
        for (const std::uint32_t m : masks) {
            out.resize(out.size() + 4);
            Put32(out, out.size() - 4, m);
        }
    }
    for (const std::uint32_t entry : palette) {
        out.push_back(static_cast<std::uint8_t>(entry));
        out.push_back(static_cast<std::uint8_t>(entry >> 8));
        out.push_back(static_cast<std::uint8_t>(entry >> 16));
        if (!core) out.push_back(static_cast<std::uint8_t>(entry >> 24));
    }
    const std::uint32_t off = offBits >= 0 ? static_cast<std::uint32_t>(offBits) : static_cast<std::uint32_t>(out.size());
    if (offBits > static_cast<std::int64_t>(out.size())) out.resize(static_cast<std::size_t>(offBits), 0);
    Put32(out, 10, off);
    out.insert(out.end(), pixels.begin(), pixels.end());
    if (headerBytes >= 124 && !profile.empty()) {
        Put32(out, 14 + 112, static_cast<std::uint32_t>(out.size() - 14));
        Put32(out, 14 + 116, static_cast<std::uint32_t>(profile.size()));
        out.insert(out.end(), profile.begin(), profile.end());
    }
    Put32(out, 2, static_cast<std::uint32_t>(out.size()));
    return out;
}

Bytes PadRows(const std::vector<Bytes>& rows) {
    Bytes out;
    for (const Bytes& row : rows) {
        out.insert(out.end(), row.begin(), row.end());
        out.resize(out.size() + (4 - row.size() % 4) % 4, 0);
    }
    return out;
}

Bytes MatrixTrcProfile(const std::array<std::array<double, 3>, 3>& colorants, double gamma) {
    auto be32 = [](Bytes& b, std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    auto fixed = [](double v) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * 65536))); };
    constexpr std::size_t kTags = 128 + 4, kData = kTags + 6 * 12, kCurve = kData + 3 * 20;
    Bytes p(kCurve + 16, 0);
    be32(p, 0, static_cast<std::uint32_t>(p.size()));
    be32(p, 8, 0x02100000);
    std::memcpy(&p[12], "mntrRGB XYZ ", 12);
    std::memcpy(&p[36], "acsp", 4);
    be32(p, 68, fixed(0.9642));
    be32(p, 72, fixed(1.0));
    be32(p, 76, fixed(0.8249));
    be32(p, 128, 6);
    const char* names[6] = {"rXYZ", "gXYZ", "bXYZ", "rTRC", "gTRC", "bTRC"};
    for (std::size_t t = 0; t < 6; ++t) {
        std::memcpy(&p[kTags + 12 * t], names[t], 4);
        be32(p, kTags + 12 * t + 4, static_cast<std::uint32_t>(t < 3 ? kData + 20 * t : kCurve));
        be32(p, kTags + 12 * t + 8, t < 3 ? 20 : 14);
    }
    for (std::size_t c = 0; c < 3; ++c) {
        std::memcpy(&p[kData + 20 * c], "XYZ ", 4);
        for (std::size_t i = 0; i < 3; ++i) be32(p, kData + 20 * c + 8 + 4 * i, fixed(colorants[c][i]));
    }
    std::memcpy(&p[kCurve], "curv", 4);
    be32(p, kCurve + 8, 1);
    p[kCurve + 12] = static_cast<std::uint8_t>(std::lround(gamma * 256) >> 8);
    p[kCurve + 13] = static_cast<std::uint8_t>(std::lround(gamma * 256));
    return p;
}

}  // namespace tessaly::kit
