// The info command; see info.h. Everything it prints comes from the core's
// Describe: the headers as stored, the layout the decoders would use, and the
// rule that refuses a file, so "loads" here means a load at the file's own
// size through the plug-in succeeds.
#include "info.h"

#include <bit>
#include <cinttypes>
#include <cstdio>

#include "bmp/read/describe.h"
#include "host.h"
#include "json_text.h"
#include "kit/plugin_library.h"
#include "kit/request.h"
#include "reach.h"
#include "reasons.h"
#include "streams.h"

namespace tessaly_cli {

const char* const kInfoHelp =
    "usage: tessaly info [-v] [--json] [--strict] FILE...\n"
    "  One line per file: header kind, size and row order, bit count, compression,\n"
    "  masks, colour table, colour space or profile, and whether the plug-in loads it\n"
    "  at its own size ('loads') or which rule refuses it ('refused: REASON'). A file\n"
    "  that loads only with damage forgiven (pixel data cut short, a stream that ends\n"
    "  early, colours past the table...) says 'loads, damaged: WHAT', most serious first.\n"
    "  -v        also the raw header fields, where the table and pixels lie, and every\n"
    "            damage and note with where it lies\n"
    "  --json    one JSON object per line and file, for scripts (a 'damage' array)\n"
    "  --strict  a damaged file is refused, with its damage as the reason\n"
    "  FILE may be - for standard input. Exits 1 when any file would not load.\n";

namespace {

using tessaly::BmpDescription;
using tessaly::BmpHeaders;
using tessaly::BmpLayout;

constexpr std::uint32_t kCsCalibrated = 0, kCsSrgb = 0x73524742, kCsWindows = 0x57696E20,
                        kCsLinked = 0x4C494E4B, kCsEmbedded = 0x4D424544;

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, v);
    return text;
}

// Compression named as the header kind means it: OS/2 headers give 3 and 4 other meanings.
std::string CompressionName(const BmpHeaders& h) {
    const std::uint32_t c = h.infoHeader.biCompression;
    if (h.os2 && c == 3) return "Huffman 1-D";
    if (h.os2 && c == 4) return "RLE24";
    static const char* const kNames[] = {"uncompressed", "RLE8", "RLE4", "bit fields", "JPEG", "PNG", "alpha bit fields"};
    if (c < 7 && !(h.os2 && c > 4)) return kNames[c];
    if (!h.os2 && c >= 11 && c <= 13) return c == 11 ? "CMYK" : c == 12 ? "CMYK RLE8" : "CMYK RLE4";
    return "compression " + std::to_string(c);
}

bool Masked(const BmpLayout& layout) {
    return layout.format == tessaly::PixelFormat::Masked16 || layout.format == tessaly::PixelFormat::Masked32;
}

// Bits per channel, red first: "5-6-5", "10-10-10-2, alpha from mask".
std::string MaskWidths(const tessaly::ChannelMasks& m) {
    char text[32];
    std::snprintf(text, sizeof text, "%d-%d-%d", std::popcount(m.red), std::popcount(m.green), std::popcount(m.blue));
    std::string widths = text;
    if (m.alpha != 0) (widths += '-') += std::to_string(std::popcount(m.alpha)) + ", alpha from mask";
    return widths;
}

bool HasColourSpace(const BmpHeaders& h) { return !h.os2 && h.headerSize >= 108; }

std::string ColourSpace(const BmpDescription& d) {
    const BmpHeaders& h = d.headers;
    switch (h.colourSpace) {
    case kCsCalibrated: return d.convertsColours ? "calibrated RGB, converted to sRGB" : "calibrated RGB (as sRGB)";
    case kCsSrgb: return "sRGB";
    case kCsWindows: return "Windows colour space (sRGB)";
    case kCsLinked: return "linked profile";
    case kCsEmbedded:
        return "embedded profile (" + std::to_string(h.profileSize) + " bytes" +
               (d.convertsColours ? ", converted to sRGB)" : ", shown as stored)");
    default: return "colour space " + Hex(h.colourSpace);
    }
}

// "loads", with what it needed forgiving, or "refused: REASON".
std::string Verdict(const BmpDescription& d, const std::string& reason) {
    if (!reason.empty()) return "refused: " + reason;
    std::string damage, alpha;
    for (const tessaly::Damage& x : d.damage) {
        if (x.kind == tessaly::DamageKind::AlphaUnused) alpha = ", " + tessaly::DamageText(x, d.layout);
        else if (!tessaly::IsNote(x.kind)) damage += (damage.empty() ? ", damaged: " : "; ") + tessaly::DamageText(x, d.layout);
    }
    return "loads" + damage + alpha;
}

std::string Line(const std::string& name, const BmpDescription& d, const std::string& reason) {
    const BmpHeaders& h = d.headers;
    const auto& info = h.infoHeader;
    const std::int64_t rows = info.biHeight < 0 ? -std::int64_t{info.biHeight} : info.biHeight;
    std::string kind = tessaly::HeaderKindName(h.kind);
    if (h.kind == tessaly::HeaderKind::OtherWindows) kind += " (" + std::to_string(h.headerSize) + "-byte header)";
    std::string line = name + ": " + kind + ", " + std::to_string(info.biWidth) + " x " +
                       std::to_string(rows) + (info.biHeight < 0 ? " top-down" : " bottom-up") + ", " +
                       std::to_string(info.biBitCount) + (info.biBitCount == 1 ? " bit" : " bits") + ", " +
                       CompressionName(h);
    if (d.layoutKnown && Masked(d.layout)) line += ", masks " + MaskWidths(d.layout.masks);
    if (d.layoutKnown && d.layout.bitCount <= 8) {
        const auto& table = d.layout.table;
        line += ", " + std::to_string(table.declared) + (table.declared == 1 ? " colour" : " colours");
        if (table.entries < table.declared) line += " (" + std::to_string(table.entries) + " read)";
    }
    if (HasColourSpace(h)) line += ", " + ColourSpace(d);
    return line + ", " + Verdict(d, reason) + "\n";
}

std::string Details(const BmpDescription& d) {
    const BmpHeaders& h = d.headers;
    const auto& f = h.fileHeader;
    const auto& i = h.infoHeader;
    char type[8];
    std::snprintf(type, sizeof type, "0x%04X", f.bfType);
    std::string text = "  file header: bfType " + std::string(type) + ", bfSize " + std::to_string(f.bfSize) +
                       ", bfOffBits " + std::to_string(f.bfOffBits) + "; the file holds " +
                       std::to_string(h.fileLength) + " bytes\n";
    text += "  info header: biSize " + std::to_string(h.headerSize) + ", biWidth " + std::to_string(i.biWidth) +
            ", biHeight " + std::to_string(i.biHeight) + ", biPlanes " + std::to_string(i.biPlanes) +
            ", biBitCount " + std::to_string(i.biBitCount);
    if (!h.core)
        text += ", biCompression " + std::to_string(i.biCompression) + ", biSizeImage " +
                std::to_string(i.biSizeImage) + ", biXPelsPerMeter " + std::to_string(i.biXPelsPerMeter) +
                ", biYPelsPerMeter " + std::to_string(i.biYPelsPerMeter) + ", biClrUsed " +
                std::to_string(i.biClrUsed) + ", biClrImportant " + std::to_string(i.biClrImportant);
    text += "\n";
    if (d.layoutKnown && Masked(d.layout)) {
        const auto& m = d.layout.masks;
        text += "  masks: red " + Hex(m.red) + ", green " + Hex(m.green) + ", blue " + Hex(m.blue) + ", alpha " +
                Hex(m.alpha) +
                (d.layout.maskBytes ? " (" + std::to_string(d.layout.maskBytes) + " bytes after the info header)"
                 : h.headerSize >= 52 ? " (in the info header)"
                                      : " (the default)") +
                "\n";
    }
    if (d.layoutKnown) {
        const auto& t = d.layout.table;
        if (t.declared > 0)
            text += "  colour table: at " + std::to_string(t.offset) + ", " + std::to_string(t.declared) +
                    " entries of " + std::to_string(t.entrySize) + " bytes, ends at " + std::to_string(t.end) + "\n";
        text += "  pixels: at " + std::to_string(d.layout.pixelOffset) +
                (d.layout.kind == tessaly::DecodeKind::Uncompressed
                     ? ", " + std::to_string(d.layout.stride) + " bytes per row"
                     : ", a run-length stream") +
                "\n";
    }
    if (HasColourSpace(h)) {
        text += "  colour space: CSType " + Hex(h.colourSpace);
        if (h.kind == tessaly::HeaderKind::V5 || h.headerSize >= 124)
            text += ", ProfileData " + std::to_string(h.profileOffset) + " (from the info header), ProfileSize " +
                    std::to_string(h.profileSize);
        text += "\n";
    }
    for (const tessaly::Damage& x : d.damage)
        text += std::string(tessaly::IsNote(x.kind) ? "  note: " : "  damage: ") + tessaly::DamageText(x, d.layout) + "\n";
    return text;
}

template <class N>
std::string Field(const char* key, N value) {
    return std::string(",\"") + key + "\":" + std::to_string(value);
}

std::string JsonObject(const std::string& name, const BmpDescription& d, const std::string& reason) {
    std::string o = "{\"file\":" + JsonString(name) + ",\"loads\":" + (reason.empty() ? "true" : "false") +
                    ",\"reason\":" + (reason.empty() ? "null" : JsonString(reason));
    if (!d.headersRead) return o + "}\n";
    const BmpHeaders& h = d.headers;
    const auto& f = h.fileHeader;
    const auto& i = h.infoHeader;
    o += ",\"header\":" + JsonString(tessaly::HeaderKindName(h.kind)) + Field("width", i.biWidth) +
         Field("height", i.biHeight < 0 ? -std::int64_t{i.biHeight} : std::int64_t{i.biHeight}) +
         ",\"topDown\":" + (i.biHeight < 0 ? "true" : "false") + Field("bitCount", i.biBitCount) +
         Field("compression", i.biCompression) + ",\"compressionName\":" + JsonString(CompressionName(h));
    const bool known = d.layoutKnown;
    if (known && Masked(d.layout)) {
        const auto& m = d.layout.masks;
        o += ",\"masks\":{\"red\":" + std::to_string(m.red) + Field("green", m.green) + Field("blue", m.blue) +
             Field("alpha", m.alpha) + ",\"bits\":" + JsonString(MaskWidths(m)) + "}";
    } else {
        o += ",\"masks\":null";
    }
    if (known && d.layout.bitCount <= 8)
        o += ",\"colourTable\":{\"offset\":" + std::to_string(d.layout.table.offset) +
             Field("entries", d.layout.table.declared) + Field("read", d.layout.table.entries) +
             Field("entrySize", d.layout.table.entrySize) + "}";
    else
        o += ",\"colourTable\":null";
    o += ",\"colourSpace\":" + (HasColourSpace(h) ? JsonString(ColourSpace(d)) : std::string("null"));
    if (h.kind == tessaly::HeaderKind::V5 && h.colourSpace == kCsEmbedded)
        o += ",\"profile\":{\"kind\":\"embedded\",\"offset\":" + std::to_string(h.profileOffset) +
             Field("size", h.profileSize) + "}";
    else if (h.kind == tessaly::HeaderKind::V5 && h.colourSpace == kCsLinked)
        o += ",\"profile\":{\"kind\":\"linked\",\"offset\":" + std::to_string(h.profileOffset) +
             Field("size", h.profileSize) + "}";
    else
        o += ",\"profile\":null";
    o += known ? Field("pixelOffset", d.layout.pixelOffset) : std::string(",\"pixelOffset\":null");
    o += known && d.layout.kind == tessaly::DecodeKind::Uncompressed ? Field("stride", d.layout.stride)
                                                                     : std::string(",\"stride\":null");
    o += Field("fileLength", h.fileLength);
    o += ",\"damaged\":" + std::string(tessaly::IsDamaged(d) ? "true" : "false") + ",\"damage\":[";
    for (std::size_t k = 0; k < d.damage.size(); ++k) {
        const tessaly::Damage& x = d.damage[k];
        o += (k ? ",{" : "{") + std::string("\"kind\":") + JsonString(tessaly::DamageName(x.kind)) +
             ",\"note\":" + (tessaly::IsNote(x.kind) ? "true" : "false") +
             ",\"text\":" + JsonString(tessaly::DamageText(x, d.layout)) + ",\"values\":[" + std::to_string(x.a) +
             "," + std::to_string(x.b) + "," + std::to_string(x.c) + "]}";
    }
    o += "]";
    o += ",\"fields\":{\"bfType\":" + std::to_string(f.bfType) + Field("bfSize", f.bfSize) +
         Field("bfOffBits", f.bfOffBits) + Field("biSize", h.headerSize) + Field("biWidth", i.biWidth) +
         Field("biHeight", i.biHeight) + Field("biPlanes", i.biPlanes) + Field("biBitCount", i.biBitCount) +
         Field("biCompression", i.biCompression) + Field("biSizeImage", i.biSizeImage) +
         Field("biXPelsPerMeter", i.biXPelsPerMeter) + Field("biYPelsPerMeter", i.biYPelsPerMeter) +
         Field("biClrUsed", i.biClrUsed) + Field("biClrImportant", i.biClrImportant) + "}";
    return o + "}\n";
}

}  // namespace

int InfoCommand(const Host& host, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {}, {"-v", "--verbose", "--json", "--strict"});
    if (!p.error.empty()) return Usage(p.error, kInfoHelp);
    if (p.words.empty()) return Usage("info needs at least one FILE", kInfoHelp);
    const bool verbose = p.Has("-v") || p.Has("--verbose"), json = p.Has("--json");
    int status = kOk;
    for (const std::string& word : p.words) {
        InputFile input;
        PathInReach reach;
        std::string error;
        if (!input.Open(word, error) || !reach.Reach(input.Path(), error)) {
            if (json) std::fputs(JsonObject(input.Name(), BmpDescription{}, error).c_str(), stdout);
            else Fail(input.Name(), error);
            status = kFailed;
            continue;
        }
        // The plug-in's own probe first, as a host asks; this host's reader tells the rest.
        ImageRequest request = tessaly::kit::MakeRequest(reach.Path());
        ImageRecord record{};
        const bool probed = host.plugin.imageProc(ImageCmdGetInfo, &request, &record) == 0;
        const BmpDescription d = tessaly::Describe(reach.Path().c_str(), true);
        std::string reason;
        if (!probed || !d.reason.Ok())
            reason = LoadExplanation(d, "the plug-in cannot read it");
        else if (p.Has("--strict") && tessaly::IsDamaged(d)) reason = "damaged: " + DamageClauses(d);
        if (!reason.empty()) status = kFailed;
        if (json) {
            std::fputs(JsonObject(input.Name(), d, reason).c_str(), stdout);
        } else if (!d.headersRead) {
            Fail(input.Name(), reason);  // nothing to describe: not a BMP file, or not readable
        } else {
            std::fputs(Line(input.Name(), d, reason).c_str(), stdout);
            if (verbose) std::fputs(Details(d).c_str(), stdout);
        }
    }
    return status;
}

}  // namespace tessaly_cli
