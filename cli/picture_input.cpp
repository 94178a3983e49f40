// Pictures the host reads; see picture_input.h.
#include "picture_input.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "png_plan.h"

namespace tessaly_cli {
namespace {

constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

bool IsSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// ---- PGM, PPM, PAM

// The next decimal field of a P5 or P6 header from `at`, past white space and
// comments; it must end in white space, which is left for the caller.
bool PnmNumber(std::span<const std::uint8_t> file, std::size_t& at, std::uint64_t& value) {
    while (at < file.size() && (IsSpace(file[at]) || file[at] == '#')) {
        if (file[at] == '#')
            while (at < file.size() && file[at] != '\n' && file[at] != '\r') ++at;
        else
            ++at;
    }
    if (at >= file.size() || file[at] < '0' || file[at] > '9') return false;
    value = 0;
    for (; at < file.size() && file[at] >= '0' && file[at] <= '9'; ++at)
        value = std::min<std::uint64_t>(value * 10 + (file[at] - '0'), 0xFFFFFFFFu);
    return at < file.size() && IsSpace(file[at]);
}

// P7's header: lines of a keyword and its value up to ENDHDR.
bool ReadPamHeader(std::span<const std::uint8_t> file, InputPicture& picture, std::uint64_t& width,
                   std::uint64_t& height, std::uint64_t& maxval, std::string& error) {
    std::size_t at = 3;
    std::uint64_t depth = 0;
    std::string tuple;
    for (;;) {
        const auto end = std::find(file.begin() + static_cast<std::ptrdiff_t>(at), file.end(), std::uint8_t{'\n'});
        if (end == file.end()) {
            error = "not a PAM file: its header is cut short (no ENDHDR line)";
            return false;
        }
        std::string line(file.begin() + static_cast<std::ptrdiff_t>(at), end);
        at = static_cast<std::size_t>(end - file.begin()) + 1;
        line.erase(std::min(line.find_last_not_of(" \t\r") + 1, line.size()));  // npos + 1 is 0: a blank line
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        const std::size_t keyEnd = std::min(line.find_first_of(" \t", first), line.size());
        const std::string key = line.substr(first, keyEnd - first);
        const std::string value = line.substr(std::min(line.find_first_not_of(" \t", keyEnd), line.size()));
        if (key == "ENDHDR") break;
        if (key == "TUPLTYPE") {
            tuple += (tuple.empty() ? "" : " ") + value;
            continue;
        }
        std::uint64_t* field = key == "WIDTH" ? &width : key == "HEIGHT" ? &height : key == "DEPTH" ? &depth
                               : key == "MAXVAL"                         ? &maxval
                                                                         : nullptr;
        if (!field) {
            error = "not a PAM file the host reads: unknown header line '" + key + "'";
            return false;
        }
        if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos) {
            error = "not a PAM file: " + key + " is not a number";
            return false;
        }
        *field = std::stoull(value);
    }
    struct Tuple {
        const char* name;
        std::uint32_t depth;
    };
    static constexpr Tuple kTuples[] = {{"GRAYSCALE", 1}, {"GRAYSCALE_ALPHA", 2}, {"RGB", 3},
                                        {"RGB_ALPHA", 4}, {"BLACKANDWHITE", 1},   {"BLACKANDWHITE_ALPHA", 2}};
    const auto known =
        std::find_if(std::begin(kTuples), std::end(kTuples), [&](const Tuple& t) { return tuple == t.name; });
    if (!tuple.empty() && known == std::end(kTuples)) {
        error = "a PAM of tuple type " + tuple + ": the host reads GRAYSCALE, RGB and their _ALPHA forms";
        return false;
    }
    if (depth < 1 || depth > 4 || (known != std::end(kTuples) && known->depth != depth)) {
        error = "a PAM of depth " + std::to_string(depth) + (tuple.empty() ? "" : " and tuple type " + tuple) +
                ": the host reads gray, gray and alpha, RGB and RGB and alpha (depth 1 to 4)";
        return false;
    }
    picture.channels = static_cast<std::uint32_t>(depth);
    picture.rasterOffset = at;
    return true;
}

bool ReadPnmHeader(std::span<const std::uint8_t> file, InputPicture& picture, std::string& error) {
    const char kind = file.size() >= 2 ? static_cast<char>(file[1]) : '\0';
    if (kind == '1' || kind == '2' || kind == '3') {
        error = std::string("a plain (text) P") + kind + " file: the host reads binary PGM (P5), PPM (P6) and PAM (P7)";
        return false;
    }
    if (kind == '4') {
        error = "a PBM bitmap (P4): the host reads binary PGM (P5), PPM (P6) and PAM (P7)";
        return false;
    }
    if (kind < '5' || kind > '7' || file.size() < 3 || !IsSpace(file[2])) {
        error = "not a PGM, PPM or PAM file";
        return false;
    }
    const char* const what = kind == '5' ? "PGM" : kind == '6' ? "PPM" : "PAM";
    std::uint64_t width = 0, height = 0, maxval = 0;
    if (kind == '7') {
        if (!ReadPamHeader(file, picture, width, height, maxval, error)) return false;
    } else {
        std::size_t at = 2;
        if (!PnmNumber(file, at, width) || !PnmNumber(file, at, height) || !PnmNumber(file, at, maxval)) {
            error = std::string("not a binary ") + what + ": its header is cut short or malformed";
            return false;
        }
        picture.channels = kind == '5' ? 1 : 3;
        picture.rasterOffset = at + 1;  // one white-space byte ends the header
    }
    if (maxval < 1 || maxval > 65535) {
        error = std::string("not a valid ") + what + " (maxval " + std::to_string(maxval) + ")";
        return false;
    }
    if (width == 0 || height == 0) {
        error = "no pixels (" + std::to_string(width) + " x " + std::to_string(height) + ")";
        return false;
    }
    if (width > kMaxInputSide || height > kMaxInputSide) {
        error = std::to_string(width) + " x " + std::to_string(height) +
                ": wider or taller than the host reads (at most 16777216 pixels a side)";
        return false;
    }
    picture.width = static_cast<std::uint32_t>(width);
    picture.height = static_cast<std::uint32_t>(height);
    picture.maxval = static_cast<std::uint32_t>(maxval);
    const std::uint64_t need = width * height * picture.channels * (maxval > 255 ? 2 : 1);
    const std::uint64_t have = file.size() - std::min<std::uint64_t>(picture.rasterOffset, file.size());
    if (have < need) {
        error = "ends before its pixels do (" + std::to_string(have) + " of " + std::to_string(need) + " bytes)";
        return false;
    }
    return true;
}

bool DecodePnm(std::span<const std::uint8_t> file, const InputPicture& picture, std::span<std::uint32_t> pixels,
               std::string& error) {
    const std::uint32_t channels = picture.channels, maxval = picture.maxval;
    const std::size_t bytes = maxval > 255 ? 2 : 1;
    const std::uint8_t* in = file.data() + picture.rasterOffset;
    for (std::uint32_t& pixel : pixels) {
        std::array<std::uint32_t, 4> v{0, 0, 0, maxval};
        for (std::uint32_t c = 0; c < channels; ++c, in += bytes) {
            v[c] = bytes == 2 ? std::uint32_t{in[0]} << 8 | in[1] : in[0];
            if (v[c] > maxval) {
                error = "a sample (" + std::to_string(v[c]) + ") above maxval " + std::to_string(maxval);
                return false;
            }
        }
        if (channels <= 2) {
            v[3] = channels == 2 ? v[1] : maxval;
            v[1] = v[2] = v[0];
        }
        const auto s = [&](std::size_t c) { return std::uint32_t{ScaleSample(v[c], maxval)}; };
        pixel = s(2) | s(1) << 8 | s(0) << 16 | s(3) << 24;
    }
    return true;
}

// ---- PNG

bool ChunkIs(const std::uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

void AppendChunk(std::vector<std::uint8_t>& out, const char* type, std::span<const std::uint8_t> data) {
    PutBe32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBe32(out, ~PngCrc(0xFFFFFFFFu, std::span<const std::uint8_t>(out).subspan(start)));
}

bool ValidDepth(std::uint8_t colour, std::uint8_t depth) {
    switch (colour) {
    case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6: return depth == 8 || depth == 16;
    default: return false;
    }
}

bool ReadPngHeader(std::span<const std::uint8_t> file, InputPicture& picture, std::string& error) {
    PngStream& png = picture.png;
    std::vector<std::uint8_t>& out = png.bytes;
    out.assign(kPngSignature.begin(), kPngSignature.end());
    const auto damaged = [&](const std::string& why) {
        error = "damaged PNG: " + why;
        return false;
    };
    std::span<const std::uint8_t> palette, transparency;
    bool header = false, ended = false, idat = false, idatDone = false;
    for (std::size_t at = kPngSignature.size(); !ended;) {
        if (file.size() - at < 12)
            return damaged(at == file.size() ? "it ends before its IEND chunk" : "cut short in a chunk header");
        const std::uint32_t length = Be32(&file[at]);
        const std::uint8_t* type = &file[at + 4];
        const std::string name(type, type + 4);
        const auto letter = [](std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
        if (!std::all_of(type, type + 4, letter)) return damaged("a chunk of invalid type");
        if (length > 0x7FFFFFFFu || file.size() - at - 12 < length)
            return damaged("cut short in its " + name + " chunk");
        const std::span<const std::uint8_t> data = file.subspan(at + 8, length);
        if (~PngCrc(0xFFFFFFFFu, file.subspan(at + 4, length + 4)) != Be32(&file[at + 8 + length]))
            return damaged("its " + name + " chunk fails its CRC");
        at += 12 + std::size_t{length};
        if (!header && !ChunkIs(type, "IHDR")) return damaged("it does not start with IHDR");
        if (idat && !ChunkIs(type, "IDAT")) idatDone = true;
        if (ChunkIs(type, "IHDR")) {
            if (header || length != 13) return damaged(header ? "two IHDR chunks" : "an IHDR chunk of the wrong size");
            header = true;
            const std::uint32_t width = Be32(&data[0]), height = Be32(&data[4]);
            png.bitDepth = data[8];
            png.colourType = data[9];
            png.interlaced = data[12] == 1;
            if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu)
                return damaged("IHDR gives " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
            if (!ValidDepth(png.colourType, png.bitDepth))
                return damaged("IHDR gives colour type " + std::to_string(png.colourType) + " at " +
                               std::to_string(png.bitDepth) + " bits");
            if (data[10] != 0 || data[11] != 0 || data[12] > 1)
                return damaged("IHDR names an unknown compression, filter or interlace method");
            if (width > kMaxInputSide || height > kMaxInputSide) {
                error = std::to_string(width) + " x " + std::to_string(height) +
                        ": wider or taller than the host reads (at most 16777216 pixels a side)";
                return false;
            }
            picture.width = width;
            picture.height = height;
            AppendChunk(out, "IHDR", data);
        } else if (ChunkIs(type, "PLTE")) {
            if (idat || !palette.empty())
                return damaged(idat ? "a PLTE chunk after the image data" : "two PLTE chunks");
            if (png.colourType == 0 || png.colourType == 4) return damaged("a PLTE chunk in a gray picture");
            if (length == 0 || length % 3 != 0 || length > 768)
                return damaged("a PLTE chunk of " + std::to_string(length) + " bytes");
            palette = data;
        } else if (ChunkIs(type, "tRNS")) {
            if (idat) return damaged("a tRNS chunk after the image data");
            if (png.colourType == 3 && palette.empty()) return damaged("a tRNS chunk before PLTE");
            const std::size_t want = png.colourType == 0 ? 2 : png.colourType == 2 ? 6 : 0;
            if (png.colourType == 3 ? length > palette.size() / 3 : want != 0 && length != want)
                return damaged("a tRNS chunk of " + std::to_string(length) + " bytes");
            // Beside an alpha channel tRNS means nothing (libpng ignores it): it is left out.
            if (png.colourType != 4 && png.colourType != 6) transparency = data;
        } else if (ChunkIs(type, "IDAT")) {
            if (idatDone) return damaged("its IDAT chunks are not consecutive");
            if (png.colourType == 3 && palette.empty()) return damaged("a palette picture without a PLTE chunk");
            if (!idat) {
                if (png.colourType == 3) {
                    // Entries past the file's own read as black: indices beyond them are in no decoder's hands.
                    std::vector<std::uint8_t> padded(palette.begin(), palette.end());
                    padded.resize(std::max<std::size_t>(padded.size(), 3u << png.bitDepth), 0);
                    AppendChunk(out, "PLTE", padded);
                }
                if (!transparency.empty()) AppendChunk(out, "tRNS", transparency);
            }
            idat = true;
            AppendChunk(out, "IDAT", data);
        } else if (ChunkIs(type, "IEND")) {
            ended = true;
        } else if (type[0] >= 'A' && type[0] <= 'Z') {
            error = "a PNG with a critical chunk the host does not know (" + name + ")";
            return false;
        }
    }
    if (!idat) return damaged("no IDAT chunk");
    AppendChunk(out, "IEND", {});
    return true;
}

}  // namespace

InputKind SniffInput(std::span<const std::uint8_t> head) {
    if (head.size() >= kPngSignature.size() && std::equal(kPngSignature.begin(), kPngSignature.end(), head.begin()))
        return InputKind::Png;
    if (head.size() >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7') return InputKind::Pnm;
    return InputKind::Other;
}

bool ReadInputHeader(std::span<const std::uint8_t> file, InputPicture& picture, std::string& error) {
    picture = InputPicture{};
    picture.kind = SniffInput(file);
    switch (picture.kind) {
    case InputKind::Png: return ReadPngHeader(file, picture, error);
    case InputKind::Pnm: return ReadPnmHeader(file, picture, error);
    case InputKind::Other: break;
    }
    error = "not a PNG, PGM, PPM or PAM file";
    return false;
}

bool DecodeInput(std::span<const std::uint8_t> file, const InputPicture& picture, std::span<std::uint32_t> pixels,
                 std::string& error) {
    if (pixels.size() != std::size_t{picture.width} * picture.height) {
        error = "the pixel buffer does not fit the picture";
        return false;
    }
    if (picture.kind == InputKind::Pnm) return DecodePnm(file, picture, pixels, error);
    return DecodePng(picture.png, picture.width, picture.height, pixels, error);
}

void StoreRgba8(std::span<const std::uint8_t> rgba, std::span<std::uint32_t> pixels) {
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::uint8_t* s = &rgba[4 * i];
        pixels[i] =
            std::uint32_t{s[2]} | std::uint32_t{s[1]} << 8 | std::uint32_t{s[0]} << 16 | std::uint32_t{s[3]} << 24;
    }
}

void StoreRgba16(std::span<const std::uint16_t> rgba, std::span<std::uint32_t> pixels) {
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::uint16_t* s = &rgba[4 * i];
        const auto level = [&](int c) { return std::uint32_t{ScaleSample(s[c], 65535)}; };
        pixels[i] = level(2) | level(1) << 8 | level(0) << 16 | level(3) << 24;
    }
}

}  // namespace tessaly_cli
