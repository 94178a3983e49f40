// Reading a file's colour space; see colour_profile.h.
#include "bmp/read/colour_profile.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace tessaly {
namespace {

using Curve = std::array<double, 256>;  // stored level -> linear light
using Chromaticities = std::array<std::array<double, 2>, 3>;

constexpr Chromaticities kSrgbPrimaries = {{{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}}};
constexpr std::array<double, 2> kD65White = {0.3127, 0.3290};

std::uint32_t LoadBe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint16_t LoadBe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
double S15Fixed16(std::uint32_t v) { return static_cast<std::int32_t>(v) / 65536.0; }

constexpr std::uint32_t Signature(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint8_t(s[3]);
}

Curve SrgbCurve() {
    Curve c;
    for (std::size_t v = 0; v < c.size(); ++v) c[v] = LinearFromSrgb(static_cast<double>(v) / 255);
    return c;
}

// A tone curve as read, and whether it is a pure gamma within 0.01 of 2.2.
struct ToneCurve {
    Curve linear{};
    bool nearSrgbGamma = false;
};

ToneCurve GammaCurve(double g) {
    ToneCurve t;
    for (std::size_t v = 0; v < t.linear.size(); ++v) t.linear[v] = std::pow(static_cast<double>(v) / 255, g);
    t.nearSrgbGamma = std::fabs(g - 2.2) <= 0.01;
    return t;
}

// Whether showing the stored levels through sRGB's curve would change none of them.
bool ChangesNoLevel(const Curve& c) {
    for (std::size_t v = 0; v < c.size(); ++v)
        if (std::lround(255 * SrgbFromLinear(c[v])) != static_cast<long>(v)) return false;
    return true;
}

// A parametric curve of type 0 to 4 at x in [0, 1], params g, a, b, c, d, e, f.
double Parametric(unsigned type, const std::array<double, 7>& p, double x) {
    const double g = p[0], a = p[1], b = p[2], c = p[3], d = p[4], e = p[5], f = p[6];
    auto power = [&] { return std::pow(std::max(a * x + b, 0.0), g); };
    switch (type) {
    case 0: return std::pow(x, g);
    case 1: return x >= -b / a ? power() : 0;
    case 2: return x >= -b / a ? power() + c : c;
    case 3: return x >= d ? power() : c * x;
    default: return x >= d ? power() + e : c * x + f;
    }
}

// Reads inside the profile's bytes only: a request that passes its end is refused.
class ProfileBytes {
public:
    ProfileBytes(ByteReader& in, std::uint64_t start, std::uint64_t size) : in_(in), start_(start), size_(size) {}
    std::optional<std::span<const std::uint8_t>> Read(std::uint64_t at, std::size_t n) {
        if (at > size_ || n > size_ - at) return std::nullopt;
        in_.Seek(start_ + at);
        return in_.Take(n);
    }

private:
    ByteReader& in_;
    std::uint64_t start_, size_;
};

struct TagPlace {
    std::uint64_t offset = 0, size = 0;
    bool found = false;
};

// A `curv` tag: the identity (no entries), a u8.8 gamma (one entry), or a
// table of 16-bit values spread evenly over [0, 1], read linearly between its
// entries. Only the entries around the 256 levels are read, so nothing grows
// with the table.
std::optional<ToneCurve> ReadCurv(ProfileBytes& p, const TagPlace& tag) {
    const auto head = p.Read(tag.offset, 12);
    if (!head) return std::nullopt;
    const std::uint64_t count = LoadBe32(head->data() + 8);
    if (12 + 2 * count > tag.size) return std::nullopt;
    ToneCurve t;
    Curve& c = t.linear;
    if (count == 0) {
        for (std::size_t v = 0; v < c.size(); ++v) c[v] = static_cast<double>(v) / 255;
        return t;
    }
    const std::uint64_t entries = tag.offset + 12;
    if (count == 1) {
        const auto gamma = p.Read(entries, 2);
        if (!gamma || LoadBe16(gamma->data()) == 0) return std::nullopt;
        return GammaCurve(LoadBe16(gamma->data()) / 256.0);
    }
    for (std::size_t v = 0; v < c.size(); ++v) {
        const std::uint64_t position = std::uint64_t{v} * (count - 1);  // level v sits at entry position / 255
        const std::uint64_t i = position / 255, rest = position % 255;
        const auto pair = p.Read(entries + 2 * i, rest != 0 ? 4 : 2);
        if (!pair) return std::nullopt;
        const double low = LoadBe16(pair->data());
        const double high = rest != 0 ? LoadBe16(pair->data() + 2) : low;
        c[v] = (low + (high - low) * static_cast<double>(rest) / 255) / 65535;
    }
    return t;
}

// A `para` tag: function type (0 to 4) and its s15.16 parameters. Values
// outside [0, 1] are clipped to it, as ICC profiles define.
std::optional<ToneCurve> ReadPara(ProfileBytes& p, const TagPlace& tag) {
    constexpr std::size_t kParamCount[5] = {1, 3, 4, 5, 7};
    const auto head = p.Read(tag.offset, 12);
    if (!head) return std::nullopt;
    const unsigned type = LoadBe16(head->data() + 8);
    if (type > 4 || 12 + 4 * kParamCount[type] > tag.size) return std::nullopt;
    const auto raw = p.Read(tag.offset + 12, 4 * kParamCount[type]);
    if (!raw) return std::nullopt;
    std::array<double, 7> params{};
    for (std::size_t i = 0; i < kParamCount[type]; ++i) params[i] = S15Fixed16(LoadBe32(raw->data() + 4 * i));
    if (type == 0) {
        if (!(params[0] > 0)) return std::nullopt;  // a curve that falls, or a constant: no usable space
        return GammaCurve(params[0]);
    }
    if ((type == 1 || type == 2) && params[1] <= 0) return std::nullopt;  // no threshold -b/a
    ToneCurve t;
    for (std::size_t v = 0; v < t.linear.size(); ++v) {
        const double y = Parametric(type, params, static_cast<double>(v) / 255);
        if (!std::isfinite(y)) return std::nullopt;
        t.linear[v] = std::clamp(y, 0.0, 1.0);
    }
    return t;
}

// Decides what is left to convert. With sRGB's primaries (`srgbPrimary` says
// which one each channel is), a curve that changes no level, or a gamma of
// 2.2, is sRGB's own curve: the space is sRGB, shown as stored, or sRGB with
// its channels reordered, which reorders levels exactly. With any other
// primaries every curve converts as read, a 2.2 gamma included (Adobe RGB's
// is 563/256, 2.1992). nullopt when the space is sRGB itself.
std::optional<SourceSpace> Settle(SourceSpace space, const std::array<bool, 3>& nearSrgbGamma,
                                  const std::optional<std::array<std::size_t, 3>>& srgbPrimary) {
    if (!srgbPrimary) {
        // Limit: primaries that are (nearly) collinear, or absurd colorants, give
        // huge or infinite matrix entries; such a space is not used.
        for (const auto& row : space.toSrgb)
            for (const double m : row)
                if (!(std::fabs(m) <= 1000)) return std::nullopt;
        return space;
    }
    bool srgbCurves = true;
    for (std::size_t c = 0; c < 3; ++c) {
        // Compat: a pure gamma of 2.2 is what writers store for sRGB's curve
        // where they cannot store the curve itself (a V4 header holds only a
        // gamma; many RGB profiles carry one), and the BMP suite's files mean
        // it so: converting it exactly would darken shadows by up to 9 levels.
        if (nearSrgbGamma[c] || ChangesNoLevel(space.linear[c])) {
            space.linear[c] = SrgbCurve();
        } else {
            srgbCurves = false;
        }
    }
    space.toSrgb = {};
    bool identity = true;
    for (std::size_t c = 0; c < 3; ++c) {
        space.toSrgb[(*srgbPrimary)[c]][c] = 1;
        identity = identity && (*srgbPrimary)[c] == c;
    }
    if (identity && srgbCurves) return std::nullopt;
    return space;
}

template <std::size_t N>
bool Near(const std::array<double, N>& a, const std::array<double, N>& b, double tolerance) {
    for (std::size_t i = 0; i < N; ++i)
        if (std::fabs(a[i] - b[i]) > tolerance) return false;
    return true;
}

// Which sRGB primary each channel is, when each is one within `tolerance` in
// every coordinate and no two are the same one.
template <std::size_t N>
std::optional<std::array<std::size_t, 3>> MatchSrgb(const std::array<std::array<double, N>, 3>& mine,
                                                    const std::array<std::array<double, N>, 3>& srgb,
                                                    double tolerance) {
    std::array<std::size_t, 3> which{};
    unsigned used = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        std::size_t k = 0;
        while (k < 3 && !Near(mine[c], srgb[k], tolerance)) ++k;
        if (k == 3 || (used & (1u << k)) != 0) return std::nullopt;
        used |= 1u << k;
        which[c] = k;
    }
    return which;
}

// Limit: only the first 1024 tags are looked at; real profiles hold a few dozen.
constexpr std::uint64_t kMaxTags = 1024;

std::optional<SourceSpace> ReadEmbeddedProfile(ByteReader& in, const BmpHeaders& headers) {
    const std::uint64_t start = headers.infoOffset + headers.profileOffset, size = headers.profileSize;
    if (size < 132 || start + size > headers.fileLength) return std::nullopt;
    ProfileBytes p(in, start, size);
    const auto head = p.Read(0, 132);
    if (!head || LoadBe32(head->data() + 16) != Signature("RGB ") || LoadBe32(head->data() + 20) != Signature("XYZ "))
        return std::nullopt;
    const std::uint64_t count = std::min({std::uint64_t{LoadBe32(head->data() + 128)}, (size - 132) / 12, kMaxTags});
    constexpr std::uint32_t kWanted[6] = {Signature("rXYZ"), Signature("gXYZ"), Signature("bXYZ"),
                                          Signature("rTRC"), Signature("gTRC"), Signature("bTRC")};
    std::array<TagPlace, 6> tags;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto entry = p.Read(132 + 12 * i, 12);
        if (!entry) return std::nullopt;
        for (std::size_t t = 0; t < tags.size(); ++t) {
            if (LoadBe32(entry->data()) == kWanted[t] && !tags[t].found)
                tags[t] = {LoadBe32(entry->data() + 4), LoadBe32(entry->data() + 8), true};
        }
    }
    std::array<std::array<double, 3>, 3> colorants{};  // [channel][X, Y, Z], relative to D50
    SourceSpace space;
    std::array<bool, 3> nearSrgbGamma{};
    for (std::size_t c = 0; c < 3; ++c) {
        const TagPlace& xyz = tags[c];
        const auto tag = xyz.found && xyz.size >= 20 ? p.Read(xyz.offset, 20) : std::nullopt;
        if (!tag || LoadBe32(tag->data()) != Signature("XYZ ")) return std::nullopt;
        for (std::size_t i = 0; i < 3; ++i) colorants[c][i] = S15Fixed16(LoadBe32(tag->data() + 8 + 4 * i));
        const TagPlace& trc = tags[3 + c];
        const auto type = trc.found ? p.Read(trc.offset, 4) : std::nullopt;
        if (!type) return std::nullopt;
        const std::uint32_t kind = LoadBe32(type->data());
        const std::optional<ToneCurve> curve = kind == Signature("curv") ? ReadCurv(p, trc)
                                               : kind == Signature("para") ? ReadPara(p, trc)
                                                                           : std::nullopt;
        if (!curve) return std::nullopt;
        space.linear[c] = curve->linear;
        nearSrgbGamma[c] = curve->nearSrgbGamma;
    }
    Matrix3 toPcs{};
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t i = 0; i < 3; ++i) toPcs[i][c] = colorants[c][i];
    space.toSrgb = Multiply(SrgbFromPcs(), toPcs);
    // sRGB's colorants as profiles store them (adapted to D50). A channel is one
    // of them when every coordinate is within 0.002: profiles store colorants to
    // about 4 decimals, and sRGB profiles differ in the last of them.
    const Matrix3 srgbPcs = Inverse(SrgbFromPcs());
    std::array<std::array<double, 3>, 3> srgbColorants{};
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t i = 0; i < 3; ++i) srgbColorants[c][i] = srgbPcs[i][c];
    return Settle(space, nearSrgbGamma, MatchSrgb(colorants, srgbColorants, 0.002));
}

std::optional<SourceSpace> ReadCalibratedRgb(const BmpHeaders& headers) {
    Chromaticities primaries{};
    for (std::size_t c = 0; c < 3; ++c) {
        double xyz[3];
        for (std::size_t i = 0; i < 3; ++i)
            xyz[i] = static_cast<std::int32_t>(headers.endpoints[3 * c + i]) / 1073741824.0;  // 2.30 fixed point
        const double sum = xyz[0] + xyz[1] + xyz[2];
        // Endpoints all zero (as most V4 writers leave them) name no space.
        if (!(sum > 0) || !(xyz[1] > 0)) return std::nullopt;
        primaries[c] = {xyz[0] / sum, xyz[1] / sum};
    }
    SourceSpace space;
    std::array<bool, 3> nearSrgbGamma{};
    for (std::size_t c = 0; c < 3; ++c) {
        if (headers.gammas[c] == 0) return std::nullopt;
        const ToneCurve curve = GammaCurve(headers.gammas[c] / 65536.0);
        space.linear[c] = curve.linear;
        nearSrgbGamma[c] = curve.nearSrgbGamma;
    }
    // The endpoints give each primary's chromaticity (writers store XYZ or x, y,
    // z alike); the header names no white, so it is sRGB's (D65).
    space.toSrgb = Multiply(Inverse(RgbToXyz(kSrgbPrimaries, kD65White)), RgbToXyz(primaries, kD65White));
    return Settle(space, nearSrgbGamma, MatchSrgb(primaries, kSrgbPrimaries, 0.002));
}

}  // namespace

std::optional<SourceSpace> ReadSourceSpace(ByteReader& in, const BmpHeaders& headers) {
    if (headers.os2 || headers.headerSize < 108) return std::nullopt;  // no colour space fields
    if (headers.colourSpace == kProfileEmbedded && headers.headerSize >= kV5HeaderSize)
        return ReadEmbeddedProfile(in, headers);
    if (headers.colourSpace == kCalibratedRgb) return ReadCalibratedRgb(headers);
    return std::nullopt;  // sRGB, the Windows default, a linked profile, or a type this reader does not know
}

}  // namespace tessaly
