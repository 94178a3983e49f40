// tessaly: the reference host. It loads the plug-in by path at run time,
// resolves BaseProc, ParamProc and ImageProc and drives them exactly as a host
// application does, with records laid out as the plug-in expects. Loads, saves
// and gray operations go through the exports only; when one fails, the core's
// Describe (the same rules as the load) or the system says why.
//
// Exit status: 0 when everything asked succeeded, 1 when something failed
// (one line "tessaly: FILE: REASON" on standard error each), 2 for a usage error.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <csignal>

#include "bmp/read/describe.h"
#include "host.h"
#include "image_files.h"
#include "info.h"
#include "kit/plugin_library.h"
#include "kit/request.h"
#include "picture_input.h"
#include "reach.h"
#include "reasons.h"
#include "size_request.h"
#include "streams.h"
#include "tessaly/plugin.h"

namespace tessaly_cli {

// Where failures and usage errors are reported: standard error, or standard
// output in a batch, so that each command's messages stay beside its output.
std::FILE* messages = stderr;

int Fail(const std::string& subject, const std::string& reason) {
    std::fprintf(messages, "tessaly: %s: %s\n", subject.c_str(), reason.c_str());
    return kFailed;
}

int Usage(const std::string& message, const char* help) {
    std::fprintf(messages, "tessaly: %s\n%s", message.c_str(), help);
    return kUsage;
}

namespace {

using tessaly::kit::MakeRequest;
using tessaly::kit::PluginLibrary;

const char* const kMainHelp =
    "usage: tessaly [--plugin PATH] [--max-pixels N] COMMAND [ARGS]\n"
    "       tessaly --version\n"
    "\n"
    "Drives the Tessaly BMP plug-in the way a host application does.\n"
    "\n"
    "commands:\n"
    "  about                            identity of the plug-in\n"
    "  info [-v] [--json] FILE...       what each file holds and whether it loads\n"
    "  load FILE -o OUT [--size SIZE]   load at the file's size or scaled; OUT is .png,\n"
    "                                   .raw (BGRA), .pgm, .ppm or .pam\n"
    "  convert IN OUT.bmp --bits N [--rle]  save a BMP, PNG, PGM, PPM or PAM picture as an\n"
    "                                   N-bit BMP (32, 24 or 8)\n"
    "  isgray FILE...                   whether files are 8-bit gray BMPs\n"
    "  loadgray FILE -o OUT             gray load, one byte per pixel; OUT as for load\n"
    "  savegray IN OUT.bmp              save a gray picture as an 8-bit gray BMP\n"
    "  batch LIST                       run LIST's commands, one a line, in one process\n"
    "FILE, IN and OUT may be - for standard input or output. Options that take a value\n"
    "take it as the next word or after '=' (--size=50%).\n"
    "\n"
    "options:\n"
    "  --plugin PATH     plug-in to load (default: $TESSALY_PLUGIN, else the one beside tessaly)\n"
    "  --max-pixels N    largest picture the host allocates (default 268435456, 2^28 pixels)\n"
    "  --version         the versions of the host and of the plug-in\n"
    "  -h, --help        this text; 'tessaly COMMAND --help' for a command's own\n"
    "  --                ends the options\n"
    "\n"
    "Exit status: 0 when everything asked succeeded, 1 when something failed (one line\n"
    "'tessaly: FILE: REASON' on standard error each), 2 for a usage error.\n";

const char* const kAboutHelp = "usage: tessaly about\n  Prints the plug-in's identifier (as a GUID), name and description.\n";
const char* const kLoadHelp =
    "usage: tessaly load FILE -o OUT [--size SIZE | --fit WxH] [--format TYPE] [--max-pixels N]\n"
    "  Loads FILE through the plug-in at its own size, or scaled, and writes what the\n"
    "  host received, of the type OUT's extension names:\n"
    "    .png  the smallest lossless PNG: gray, palette, gray and alpha, RGB or RGBA\n"
    "    .raw  the host's buffer: 4 bytes B, G, R, A per pixel, top row first\n"
    "    .pgm  binary gray (refused for a picture with colour or transparency)\n"
    "    .ppm  binary RGB (refused for a picture with transparency)\n"
    "    .pam  gray or RGB, with alpha when the picture has any\n"
    "  --format TYPE (png, raw, pgm, ppm or pam) overrides the extension; OUT - is\n"
    "  standard output (PNG unless --format says otherwise). FILE - is standard input.\n"
    "  A PNG records sRGB when the picture is in sRGB and the file's resolution.\n"
    "  --size SIZE scales the picture (each side rounded, at least 1 pixel):\n"
    "    WxH    exactly W x H pixels\n"
    "    Wx     W pixels wide, the height keeping the aspect ratio (xH: H pixels high)\n"
    "    N%     both sides N percent (50%, 12.5%)\n"
    "    WxH>   inside a W x H box, the aspect ratio kept; never enlarged\n"
    "           (Wx> and xH> limit one side)\n"
    "  --fit WxH is --size WxH>.\n";
const char* const kConvertHelp =
    "usage: tessaly convert IN OUT.bmp --bits 32|24|8 [--rle] [--max-pixels N]\n"
    "  Reads IN and saves it through the plug-in with 32, 24 or 8 bits per pixel; OUT\n"
    "  must be a .bmp file, or - for standard output. IN is a BMP (loaded through the\n"
    "  plug-in), a PNG (any colour type, 1 to 16 bits) or a binary PGM, PPM or PAM\n"
    "  (8 or 16 bits); wider samples are rounded to 8 bits, alpha is kept.\n"
    "  --bits 8 is lossy: the plug-in's indexer groups colours by the top two bits of\n"
    "  each byte, so an opaque picture keeps at most 64 colours (a gray picture at most\n"
    "  4 levels). 'tessaly savegray' keeps every level of a gray picture.\n"
    "  --rle writes the 8-bit file run-length encoded (BI_RLE8).\n";
const char* const kIsGrayHelp =
    "usage: tessaly isgray FILE...\n"
    "  One line per file: 'FILE: gray' or 'FILE: not gray', as the plug-in answers.\n"
    "  A file the plug-in does not take as a BMP, or cannot open, is a failure (exit 1).\n";
const char* const kLoadGrayHelp =
    "usage: tessaly loadgray FILE -o OUT [--format TYPE] [--max-pixels N]\n"
    "  Loads an 8-bit gray BMP as one byte per pixel and writes it as OUT's extension\n"
    "  says (.pgm, .png, .raw: one byte per pixel, .ppm or .pam); --format and - as for load.\n";
const char* const kSaveGrayHelp =
    "usage: tessaly savegray IN OUT.bmp [--max-pixels N]\n"
    "  Saves a gray picture through the plug-in as an 8-bit gray BMP, every level kept.\n"
    "  IN is read as by convert (BMP, PNG, PGM, PPM or PAM); a picture with colour or\n"
    "  transparency is refused. Samples wider than 8 bits, or with a maxval other than\n"
    "  255, are rounded to 0-255. The plug-in reports nothing from a gray save, so the\n"
    "  file is loaded back and compared (on Windows, a device, which cannot be read\n"
    "  back, is not checked). IN and OUT may be - for standard input and output.\n";

const char* const kBatchHelp =
    "usage: tessaly batch LIST\n"
    "  Runs each line of LIST (a command and its words, separated by spaces) with the\n"
    "  plug-in loaded once: prints '== LINE', the command's output and messages, then\n"
    "  '== exit N' with the status it would have exited with. Exits with the highest.\n";

// A picture buffer, zeroed lazily by the system: a load the plug-in refuses never touches it.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Buffer = std::unique_ptr<T[], FreeDeleter>;

template <class T>
Buffer<T> Allocate(std::uint64_t count) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return Buffer<T>(static_cast<T*>(std::calloc(static_cast<std::size_t>(count), sizeof(T))));
}

bool ParseCount(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoull(text);
    return value > 0;
}

// The limit a command runs with: its own --max-pixels, else the host's.
bool MaxPixels(const Parsed& p, const Host& host, std::uint64_t& limit) {
    limit = host.maxPixels;
    return !p.values.count("--max-pixels") || ParseCount(p.values.at("--max-pixels"), limit);
}

// The file's geometry through the plug-in's probe (ImageCmdGetInfo); a file it
// refuses is not a BMP file, unless the reader has a better reason.
bool GetInfo(const Host& host, const std::string& path, ImageRecordInfo& info, std::string& reason,
             const char* notAnyType = nullptr) {
    ImageRequest request = MakeRequest(path);
    ImageRecord record{};
    if (host.plugin.imageProc(ImageCmdGetInfo, &request, &record) != 0) {
        reason = LoadExplanation(path, notAnyType ? notAnyType : tessaly::ReasonText(tessaly::Reason::NotBmp), notAnyType);
        return false;
    }
    info = record.info;
    return true;
}

struct Loaded {
    std::int32_t width = 0, height = 0;
    Buffer<std::uint32_t> pixels;
};

// The damage a file that loads has, when it has some: "" for none.
std::string DamageOf(const std::string& path) {
    const tessaly::BmpDescription d = tessaly::Describe(path.c_str(), true);
    return d.pixelsRead && tessaly::IsDamaged(d) ? DamageClauses(d) : std::string();
}

// Loads `path` (reached, see reach.h) through ImageCmdLoad at its own size, or
// at the size `size` works out from it. Returns kOk, or reports the failure under `name`.
int LoadPixels(const Host& host, const std::string& path, const std::string& name,
               const std::optional<SizeRequest>& size, std::uint64_t maxPixels, Loaded& out,
               const char* notAnyType = nullptr) {
    ImageRecordInfo info{};
    std::string reason;
    if (!GetInfo(host, path, info, reason, notAnyType)) return Fail(name, reason);
    // The file's size; a top-down file's height is stored negative and asked for positive.
    if (info.width <= 0 || info.height == 0 || info.height == INT32_MIN)
        return Fail(name, LoadExplanation(path, "the file declares no pixels"));
    const auto ownWidth = static_cast<std::uint32_t>(info.width);
    const auto ownHeight = static_cast<std::uint32_t>(info.height < 0 ? -info.height : info.height);
    std::uint32_t width = ownWidth, height = ownHeight;
    if (size && !ResolveSize(*size, ownWidth, ownHeight, width, height, reason)) return Fail(name, reason);
    const bool own = width == ownWidth && height == ownHeight;  // a size that changes nothing is a plain load
    const std::uint64_t w = width, h = height;
    if (const std::string over = OverPixelLimit(w, h, maxPixels); !over.empty())
        return Fail(name, LoadExplanation(path, over));  // a file refused anyway says why, not how big it is
    // A damaged file is refused with --strict before anything is loaded, else loaded with a warning.
    // (Its pixels are read for this only once the size is known to be within the limit.)
    const std::string damage = DamageOf(path);
    if (host.strict && !damage.empty()) return Fail(name, "damaged: " + damage);
    Buffer<std::uint32_t> pixels = Allocate<std::uint32_t>(w * h);
    if (!pixels) return Fail(name, "Cannot allocate memory for " + std::to_string(w * h) + " pixels");
    ImageRequest request = MakeRequest(path, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
    ImageRecord record{};
    record.pixels = pixels.get();
    if (host.plugin.imageProc(ImageCmdLoad, &request, &record) != 0)
        return Fail(name, LoadExplanation(path, own ? "the plug-in refused to load it"
                                            : "the plug-in refused to scale it to " + std::to_string(width) + " x " +
                                                  std::to_string(height)));
    out = Loaded{static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), std::move(pixels)};
    if (!damage.empty()) std::fprintf(messages, "tessaly: %s: warning: damaged: %s\n", name.c_str(), damage.c_str());
    return kOk;
}

// What a PNG of a file's picture records beside the pixels, from the file's
// description: sRGB when its levels are sRGB (the file says so, has no colour
// space, holds linear 64-bit values or is converted by the load), and its resolution.
void NoteColourAndResolution(const std::string& path, Picture& picture) {
    constexpr std::uint32_t kCsSrgb = 0x73524742, kCsWindows = 0x57696E20;
    const tessaly::BmpDescription d = tessaly::Describe(path.c_str());
    if (!d.headersRead) return;
    const tessaly::BmpHeaders& h = d.headers;
    picture.srgb = d.convertsColours || h.os2 || h.headerSize < 108 || h.colourSpace == kCsSrgb ||
                   h.colourSpace == kCsWindows || (d.layoutKnown && d.layout.format == tessaly::PixelFormat::Rgba64);
    if (h.infoHeader.biXPelsPerMeter > 0 && h.infoHeader.biYPelsPerMeter > 0) {
        picture.pixelsPerMeterX = static_cast<std::uint32_t>(h.infoHeader.biXPelsPerMeter);
        picture.pixelsPerMeterY = static_cast<std::uint32_t>(h.infoHeader.biYPelsPerMeter);
    }
}

const char* const kNotAPicture = "not a BMP, PNG, PGM, PPM or PAM file";

// Reads the whole of `path` into `bytes`; false with the system's reason.
bool ReadWhole(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = OpenFailure(path);
        return false;
    }
    std::vector<std::uint8_t> chunk(1 << 16);
    bytes.clear();
    try {
        for (std::size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0;)
            bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    } catch (const std::bad_alloc&) {
        std::fclose(f);
        error = "Cannot allocate memory for the whole file";
        return false;
    }
    const bool ok = !std::ferror(f);
    if (!ok) error = std::strerror(errno);
    std::fclose(f);
    return ok;
}

// Reads a picture to save (convert, savegray) at its own size: a PNG, PGM, PPM
// or PAM by the host, anything else through the plug-in's load. Returns kOk,
// or reports the failure.
int ReadPicture(const Host& host, const InputFile& in, std::uint64_t maxPixels, Loaded& out) {
    PathInReach reach;
    std::string error;
    if (!reach.Reach(in.Path(), error)) return Fail(in.Name(), error);
    const std::string& path = reach.Path();
    std::uint8_t head[8] = {};
    std::size_t got = 0;
    std::error_code ec;
    // A pipe or device would lose what was read here: the plug-in says why it takes none.
    if (std::FILE* f = std::filesystem::is_regular_file(path, ec) ? std::fopen(path.c_str(), "rb") : nullptr) {
        got = std::fread(head, 1, sizeof head, f);
        std::fclose(f);
    }
    if (SniffInput({head, got}) == InputKind::Other) {
        const bool bmpSignature = got >= 2 && head[0] == 'B' && (head[1] == 'M' || head[1] == 'A');
        return LoadPixels(host, path, in.Name(), std::nullopt, maxPixels, out, bmpSignature ? nullptr : kNotAPicture);
    }
    std::vector<std::uint8_t> bytes;
    InputPicture picture;
    if (!ReadWhole(path, bytes, error) || !ReadInputHeader(bytes, picture, error)) return Fail(in.Name(), error);
    if (picture.kind == InputKind::Png) std::vector<std::uint8_t>().swap(bytes);  // the decoder reads picture.png
    if (const std::string over = OverPixelLimit(picture.width, picture.height, maxPixels); !over.empty())
        return Fail(in.Name(), over);
    const std::uint64_t count = std::uint64_t{picture.width} * picture.height;
    Buffer<std::uint32_t> pixels = Allocate<std::uint32_t>(count);
    if (!pixels) return Fail(in.Name(), "Cannot allocate memory for " + std::to_string(count) + " pixels");
    if (!DecodeInput(bytes, picture, {pixels.get(), static_cast<std::size_t>(count)}, error))
        return Fail(in.Name(), error);
    out = Loaded{static_cast<std::int32_t>(picture.width), static_cast<std::int32_t>(picture.height),
                 std::move(pixels)};
    return kOk;
}

// The type of a picture output: --format, else OUT's extension; `-` defaults to PNG.
bool OutputType(const Parsed& p, const std::string& out, ImageType& type, std::string& error) {
    if (p.values.count("--format")) {
        const auto named = ImageTypeOfWord(p.values.at("--format"));
        if (!named) error = "--format takes png, raw, pgm, ppm or pam";
        if (named) type = *named;
        return named.has_value();
    }
    if (out == "-") {
        type = ImageType::Png;
        return true;
    }
    const auto byName = ImageTypeOfName(out);
    if (!byName) error = out + ": unknown output type: name it " + kImageTypes + " (or give --format TYPE)";
    if (byName) type = *byName;
    return byName.has_value();
}

int WriteOutput(const std::string& word, ImageType type, const Picture& picture) {
    OutputFile out;
    // A type that cannot hold the picture is refused before an old file of that name is touched.
    std::string error = CannotHold(type, picture);
    if (!error.empty()) return Fail(word == "-" ? kStdoutName : word, error);
    if (!out.Open(word, error)) return Fail(out.Name(), error);
    if (!WritePicture(out.Stream(), type, picture, error) || !out.Close(error)) return Fail(out.Name(), error);
    return kOk;
}

// The checks a picture output passes before anything is read.
int CheckPictureOutput(const Parsed& p, const char* help, ImageType& type) {
    std::string error;
    if (!OutputType(p, p.values.at("-o"), type, error)) return Usage(error, help);
    if (p.values.at("-o") == "-" && StdoutIsTerminal())
        return Usage("standard output is a terminal: redirect it, or name an OUT file", help);
    return kOk;
}

// A BMP destination: "-", a name ending in .bmp or .dib, or a pipe or device that exists.
int CheckBmpOutput(const std::string& out, const char* command, const char* help) {
    if (out == "-") {
        return StdoutIsTerminal() ? Usage("standard output is a terminal: redirect it, or name an OUT file", help)
                                  : kOk;
    }
    std::string lower = out;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool bmpName = lower.size() > 4 && (lower.ends_with(".bmp") || lower.ends_with(".dib"));
    std::error_code ec;
    const auto kind = std::filesystem::status(out, ec).type();
    if (bmpName || kind == std::filesystem::file_type::fifo || kind == std::filesystem::file_type::character)
        return kOk;
    return Usage(out + ": " + command + " writes BMP files only: name OUT .bmp, or - for standard output" +
                     (ImageTypeOfName(out) ? " ('tessaly load' writes the other types)" : ""),
                 help);
}

int About(Host& host, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {}, {});
    if (!p.error.empty()) return Usage(p.error, kAboutHelp);
    if (!p.words.empty()) return Usage("about takes no arguments", kAboutHelp);
    PluginDescriptor d{};
    host.plugin.baseProc(0, 0, &d);
    const uint8_t* id = d.pluginId;
    char guid[64];
    std::snprintf(guid, sizeof guid, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id[3],
                  id[2], id[1], id[0], id[5], id[4], id[7], id[6], id[8], id[9], id[10], id[11], id[12], id[13], id[14],
                  id[15]);
    d.pluginName[sizeof d.pluginName - 1] = '\0';
    d.pluginDescription[sizeof d.pluginDescription - 1] = '\0';
    std::printf("id:          %s\nname:        %s\ndescription: %s\n", guid, d.pluginName, d.pluginDescription);
    return kOk;
}

int Info(Host& host, const std::vector<std::string>& args) { return InfoCommand(host, args); }

int Load(Host& host, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {"-o", "--size", "--fit", "--format", "--max-pixels"}, {"--strict"});
    if (!p.error.empty()) return Usage(p.error, kLoadHelp);
    host.strict = p.Has("--strict");
    if (p.words.size() != 1 || !p.values.count("-o")) return Usage("load needs FILE and -o OUT", kLoadHelp);
    if (p.values.count("--size") && p.values.count("--fit")) return Usage("give --size or --fit, not both", kLoadHelp);
    std::optional<SizeRequest> size;
    if (p.values.count("--size") && !(size = ParseSizeRequest(p.values.at("--size"))))
        return Usage(std::string("--size takes ") + kSizeForms, kLoadHelp);
    if (p.values.count("--fit") && !(size = ParseSizeRequest(p.values.at("--fit"), true)))
        return Usage("--fit takes WxH, Wx or xH (each side from 1 to 1000000)", kLoadHelp);
    std::uint64_t maxPixels = 0;
    if (!MaxPixels(p, host, maxPixels)) return Usage("--max-pixels takes a positive number", kLoadHelp);
    ImageType type{};
    if (const int status = CheckPictureOutput(p, kLoadHelp, type); status != kOk) return status;
    InputFile in;
    std::string error;
    if (!in.Open(p.words[0], error)) return Fail(in.Name(), error);
    Loaded loaded;
    Picture picture;
    {
        PathInReach reach;
        if (!reach.Reach(in.Path(), error)) return Fail(in.Name(), error);
        if (const int status = LoadPixels(host, reach.Path(), in.Name(), size, maxPixels, loaded); status != kOk)
            return status;
        if (type == ImageType::Png) NoteColourAndResolution(reach.Path(), picture);
    }
    picture.width = static_cast<std::size_t>(loaded.width);
    picture.height = static_cast<std::size_t>(loaded.height);
    picture.pixels = loaded.pixels.get();
    return WriteOutput(p.values.at("-o"), type, picture);
}

// Saves `pixels` through ImageCmdSave (bitCount 32, 24 or 8; rle for RLE8) or, when
// `levels` is given, ImageCmdSaveGray (checked by reading the file back). Returns
// kOk, or reports the failure.
int SavePicture(const Host& host, const std::string& word, const Loaded& picture, std::uint8_t bitCount, bool rle,
                const std::vector<std::uint8_t>* levels);

int Convert(Host& host, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {"--bits", "--max-pixels"}, {"--rle", "--strict"});
    if (!p.error.empty()) return Usage(p.error, kConvertHelp);
    host.strict = p.Has("--strict");
    if (p.words.size() != 2 || !p.values.count("--bits")) return Usage("convert needs IN, OUT and --bits", kConvertHelp);
    const std::string bits = p.values.at("--bits");
    if (bits != "32" && bits != "24" && bits != "8") return Usage("--bits takes 32, 24 or 8", kConvertHelp);
    if (p.Has("--rle") && bits != "8") return Usage("--rle goes with --bits 8", kConvertHelp);
    std::uint64_t maxPixels = 0;
    if (!MaxPixels(p, host, maxPixels)) return Usage("--max-pixels takes a positive number", kConvertHelp);
    if (const int status = CheckBmpOutput(p.words[1], "convert", kConvertHelp); status != kOk) return status;
    InputFile in;
    std::string error;
    if (!in.Open(p.words[0], error)) return Fail(in.Name(), error);
    Loaded loaded;
    if (const int status = ReadPicture(host, in, maxPixels, loaded); status != kOk) return status;
    return SavePicture(host, p.words[1], loaded, static_cast<std::uint8_t>(std::stoi(bits)), p.Has("--rle"), nullptr);
}

bool AskIsGray(const Host& host, const std::string& path) {
    ImageRequest request = MakeRequest(path);
    ImageRecord record{};
    (void)host.plugin.imageProc(ImageCmdIsGray, &request, &record);  // command 6 answers through isGray only
    return record.isGray == 1;
}

int IsGrayCommand(Host& host, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {}, {});
    if (!p.error.empty()) return Usage(p.error, kIsGrayHelp);
    if (p.words.empty()) return Usage("isgray needs at least one FILE", kIsGrayHelp);
    int status = kOk;
    for (const std::string& word : p.words) {
        InputFile in;
        PathInReach reach;
        std::string error;
        ImageRecordInfo info{};
        // The gray test answers "not gray" for anything it cannot use: the probe says first whether it is a BMP.
        if (!in.Open(word, error) || !reach.Reach(in.Path(), error) || !GetInfo(host, reach.Path(), info, error)) {
            status = Fail(in.Name(), error);
            continue;
        }
        std::printf("%s: %s\n", in.Name().c_str(), AskIsGray(host, reach.Path()) ? "gray" : "not gray");
    }
    return status;
}

// Loads a gray file's levels through ImageCmdLoadGray into a buffer of the
// file's size, which the request names (so a file of another size is refused).
void LoadGrayLevels(const Host& host, const std::string& path, std::int32_t width, std::int32_t height,
                    std::uint8_t* levels) {
    ImageRequest request = MakeRequest(path, width, height);
    ImageRecord record{};
    record.pixels = levels;
    (void)host.plugin.imageProc(ImageCmdLoadGray, &request, &record);  // a gray load reports nothing
}

int LoadGrayCommand(Host& host, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {"-o", "--format", "--max-pixels"}, {});
    if (!p.error.empty()) return Usage(p.error, kLoadGrayHelp);
    if (p.words.size() != 1 || !p.values.count("-o")) return Usage("loadgray needs FILE and -o OUT", kLoadGrayHelp);
    std::uint64_t maxPixels = 0;
    if (!MaxPixels(p, host, maxPixels)) return Usage("--max-pixels takes a positive number", kLoadGrayHelp);
    ImageType type{};
    if (const int status = CheckPictureOutput(p, kLoadGrayHelp, type); status != kOk) return status;
    InputFile in;
    std::string error;
    if (!in.Open(p.words[0], error)) return Fail(in.Name(), error);
    Buffer<std::uint8_t> levels;
    Picture picture;
    {
        PathInReach reach;
        ImageRecordInfo info{};
        if (!reach.Reach(in.Path(), error) || !GetInfo(host, reach.Path(), info, error)) return Fail(in.Name(), error);
        const std::string& path = reach.Path();
        // The plug-in reports nothing from a gray load, so the host asks first.
        if (!AskIsGray(host, path))
            return Fail(in.Name(),
                        LoadExplanation(path, std::string(tessaly::ReasonText(tessaly::Reason::NotGray)) +
                                          (info.bitCount == 8 ? " (its colour table is not the gray ramp)"
                                                              : " (" + std::to_string(info.bitCount) + " bits)")));
        const std::int32_t height = info.height < 0 ? -info.height : info.height;
        const auto w = static_cast<std::uint64_t>(info.width), h = static_cast<std::uint64_t>(height);
        if (const std::string over = OverPixelLimit(w, h, maxPixels); !over.empty()) return Fail(in.Name(), over);
        levels = Allocate<std::uint8_t>(w * h);
        if (!levels) return Fail(in.Name(), "Cannot allocate memory for " + std::to_string(w * h) + " pixels");
        LoadGrayLevels(host, path, info.width, height, levels.get());
        picture.width = static_cast<std::size_t>(w);
        picture.height = static_cast<std::size_t>(h);
        if (type == ImageType::Png) NoteColourAndResolution(path, picture);
    }
    picture.gray = levels.get();
    return WriteOutput(p.values.at("-o"), type, picture);
}

// True when `path` is a gray BMP of width x height holding exactly `levels`.
bool ReadsBackAs(const Host& host, const std::string& path, std::size_t width, std::size_t height,
                 const std::vector<std::uint8_t>& levels) {
    ImageRequest request = MakeRequest(path);
    ImageRecord record{};
    if (host.plugin.imageProc(ImageCmdGetInfo, &request, &record) != 0 ||
        static_cast<std::size_t>(record.info.width) != width ||
        static_cast<std::size_t>(record.info.height < 0 ? -std::int64_t{record.info.height} : record.info.height) !=
            height ||
        !AskIsGray(host, path))
        return false;
    // The buffer starts as the opposite of every expected byte: a load that writes nothing cannot match.
    std::vector<std::uint8_t> back(levels.size());
    std::transform(levels.begin(), levels.end(), back.begin(), [](uint8_t v) { return static_cast<uint8_t>(~v); });
    LoadGrayLevels(host, path, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), back.data());
    return back == levels;
}

int SavePicture(const Host& host, const std::string& word, const Loaded& picture, std::uint8_t bitCount, bool rle,
                const std::vector<std::uint8_t>* levels) {
    SaveTarget target;
    std::string error;
    if (!target.Open(word, error)) return Fail(target.Name(), error);
    {
        PathInReach reach;
        if (!reach.Reach(target.Path(), error)) return Fail(target.Name(), error);
        const std::string& path = reach.Path();
        ImageRequest request = MakeRequest(path, picture.width, picture.height);
        ImageRecord record{};
        bool saved = true;
        if (levels) {
            record.pixels = const_cast<std::uint8_t*>(levels->data());  // the plug-in only reads what it saves
            (void)host.plugin.imageProc(ImageCmdSaveGray, &request, &record);  // a gray save reports nothing
            // So the host reads the file back and compares it with what it asked for
            // (an old file that the save left alone fails this). Elsewhere a FIFO or a
            // device is saved through a file of the host's own (SaveTarget), so only
            // on Windows can the path be a device, which cannot be read back.
            bool device = false;
#ifdef _WIN32
            std::error_code ec;
            const auto kind = std::filesystem::status(path, ec).type();
            device = kind == std::filesystem::file_type::fifo || kind == std::filesystem::file_type::character;
#endif
            saved = device || ReadsBackAs(host, path, static_cast<std::size_t>(picture.width),
                                          static_cast<std::size_t>(picture.height), *levels);
        } else {
            request.bitCount = bitCount;
            request.compression = rle ? ImageCompressionRle8 : ImageCompressionNone;
            record.pixels = picture.pixels.get();
            saved = host.plugin.imageProc(ImageCmdSave, &request, &record) == 0;
        }
        if (!saved) {
            // The save's own checks, run again by this host's core, say why.
            const tessaly::SaveRequest asked{
                levels ? tessaly::SaveFormat::Gray8 : *tessaly::ChooseSaveFormat(bitCount, rle ? 1 : 0), picture.width,
                picture.height, levels ? static_cast<const void*>(levels->data()) : picture.pixels.get()};
            return Fail(target.Name(), SaveExplanation(path, asked, levels ? "the plug-in did not save it"
                                                                            : "the plug-in could not save it"));
        }
    }
    if (!target.Finish(error)) return Fail(target.Name(), error);
    return kOk;
}

int SaveGrayCommand(Host& host, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {"--max-pixels"}, {});
    if (!p.error.empty()) return Usage(p.error, kSaveGrayHelp);
    if (p.words.size() != 2) return Usage("savegray needs IN and OUT.bmp", kSaveGrayHelp);
    std::uint64_t maxPixels = 0;
    if (!MaxPixels(p, host, maxPixels)) return Usage("--max-pixels takes a positive number", kSaveGrayHelp);
    if (const int status = CheckBmpOutput(p.words[1], "savegray", kSaveGrayHelp); status != kOk) return status;
    InputFile in;
    std::string error;
    if (!in.Open(p.words[0], error)) return Fail(in.Name(), error);
    Loaded loaded;
    if (const int status = ReadPicture(host, in, maxPixels, loaded); status != kOk) return status;
    const auto w = static_cast<std::size_t>(loaded.width), h = static_cast<std::size_t>(loaded.height);
    const PictureTraits traits = Examine(Picture{w, h, loaded.pixels.get(), nullptr});
    if (!traits.gray) return Fail(in.Name(), "the picture has colour: a gray BMP holds gray levels only (use convert)");
    if (!traits.opaque)
        return Fail(in.Name(), "the picture has transparent pixels: a gray BMP has no alpha (use convert)");
    std::vector<std::uint8_t> levels(w * h);
    std::transform(loaded.pixels.get(), loaded.pixels.get() + w * h, levels.begin(),
                   [](std::uint32_t pixel) { return static_cast<std::uint8_t>(pixel); });  // gray: B = G = R
    loaded.pixels.reset();
    return SavePicture(host, p.words[1], loaded, 8, false, &levels);
}

int Version(const std::string& pluginPath) {
    std::printf("tessaly %s (reference host)\n", TESSALY_HOST_VERSION);
    PluginLibrary plugin;
    std::string error;
    if (!plugin.Load(pluginPath, error)) return Fail(pluginPath, error);
    const std::string version = plugin.Version();
    std::printf("Tessaly plug-in %s (%s)\n", version.empty() ? "without a recorded version" : version.c_str(),
                pluginPath.c_str());
    return kOk;
}

struct Command {
    const char* help;
    std::function<int(Host&, const std::vector<std::string>&)> run;
};

const std::map<std::string, Command> kCommands = {
    {"about", {kAboutHelp, About}},          {"info", {kInfoHelp, Info}},
    {"load", {kLoadHelp, Load}},             {"convert", {kConvertHelp, Convert}},
    {"isgray", {kIsGrayHelp, IsGrayCommand}}, {"loadgray", {kLoadGrayHelp, LoadGrayCommand}},
    {"savegray", {kSaveGrayHelp, SaveGrayCommand}},
};

// What every command of a run shares: the plug-in, loaded by the first command that needs it.
struct Session {
    std::string pluginPath;
    std::uint64_t maxPixels = kDefaultMaxPixels;
    PluginLibrary plugin;
};

// Runs one command line (args[0] names the command); --help needs no plug-in.
int RunCommand(const std::vector<std::string>& args, Session& session) {
    const auto found = kCommands.find(args[0]);
    if (found == kCommands.end()) return Usage("unknown command '" + args[0] + "'", kMainHelp);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const auto& a : rest) {
        if (a == "--") break;
        if (a == "-h" || a == "--help") {
            std::fputs(found->second.help, stdout);
            return kOk;
        }
    }
    std::string error;
    if (!session.plugin.imageProc && !session.plugin.Load(session.pluginPath, error))
        return Fail(session.pluginPath, error);
    Host host{session.plugin, session.maxPixels};
    return found->second.run(host, rest);
}

// Many commands in one process, as a host that keeps the plug-in loaded: the
// Windows lanes run under emulation, where each process start costs seconds.
// Output is flushed after each marker, so a process that dies shows where.
int Batch(const std::vector<std::string>& args, Session& session) {
    if (args.size() != 1) return Usage("batch needs one LIST", kBatchHelp);
    std::ifstream list(args[0]);
    if (!list) return Fail(args[0], OpenFailure(args[0]));
    messages = stdout;
    int worst = kOk;
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words;
        for (std::size_t at = 0; (at = line.find_first_not_of(" \t", at)) != std::string::npos;) {
            const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
            words.push_back(line.substr(at, end - at));
            at = end;
        }
        if (words.empty()) continue;
        std::printf("== %s\n", line.c_str());
        std::fflush(stdout);
        const int status = words[0] == "batch" ? Usage("batch does not nest", kBatchHelp) : RunCommand(words, session);
        worst = std::max(worst, status);
        std::printf("== exit %d\n", status);
        std::fflush(stdout);
    }
    return worst;
}

}  // namespace
}  // namespace tessaly_cli

int main(int argc, char** argv) {
    using namespace tessaly_cli;
#ifdef SIGXFSZ
    // Past the file-size limit a write fails with EFBIG, which the host reports, instead of killing it.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // A reader that went away makes a write fail with EPIPE, which the host reports ("Broken pipe").
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    Session session;
    if (const char* env = std::getenv("TESSALY_PLUGIN"); env && *env) session.pluginPath = env;
    bool version = false;
    std::size_t at = 0;
    for (; at < args.size() && args[at].size() > 1 && args[at][0] == '-'; ++at) {
        const std::string& a = args[at];
        if (a == "--") {
            ++at;
            break;
        }
        if (a == "-h" || a == "--help") {
            std::fputs(kMainHelp, stdout);
            return kOk;
        }
        const std::size_t equals = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, equals);
        if (a == "--version") {
            version = true;
        } else if (name == "--plugin" || name == "--max-pixels") {
            if (equals == std::string::npos && at + 1 >= args.size()) return Usage(a + " needs a value", kMainHelp);
            const std::string value = equals == std::string::npos ? args[++at] : a.substr(equals + 1);
            if (name == "--plugin") session.pluginPath = value;
            else if (!ParseCount(value, session.maxPixels))
                return Usage("--max-pixels takes a positive number", kMainHelp);
        } else {
            return Usage("unknown option " + name, kMainHelp);
        }
    }
    if (session.pluginPath.empty()) {
        session.pluginPath = tessaly::kit::DefaultPluginPath();
    } else {
        // A plug-in named by --plugin or TESSALY_PLUGIN may be another build than this host's core.
        std::error_code ec;
        if (!std::filesystem::equivalent(session.pluginPath, tessaly::kit::DefaultPluginPath(), ec))
            SetForeignPlugin(session.pluginPath);
    }
    if (version) return Version(session.pluginPath);
    if (at >= args.size()) return Usage("no command given", kMainHelp);
    const std::vector<std::string> command(args.begin() + static_cast<std::ptrdiff_t>(at), args.end());
    if (command[0] == "batch") {
        const std::vector<std::string> rest(command.begin() + 1, command.end());
        if (rest.size() == 1 && (rest[0] == "-h" || rest[0] == "--help")) {
            std::fputs(kBatchHelp, stdout);
            return kOk;
        }
        return Batch(rest, session);
    }
    return RunCommand(command, session);
}
