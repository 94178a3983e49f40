// tessaly: the reference host. It loads the plug-in by path at run time,
// resolves BaseProc, ParamProc and ImageProc by name and drives them exactly
// as a host application does, with records laid out as the plug-in expects.
// Exit status: 0 when everything asked succeeded, 1 when something failed,
// 2 for a usage error.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "image_files.h"
#include "plugin_library.h"
#include "tessaly/plugin.h"

namespace tessaly_cli {
namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

const char* const kMainHelp =
    "usage: tessaly [--plugin PATH] COMMAND [ARGS]\n"
    "\n"
    "Drives the Tessaly BMP plug-in the way a host application does.\n"
    "\n"
    "commands:\n"
    "  about                          identity of the plug-in\n"
    "  info FILE...                   geometry of BMP files\n"
    "  load FILE -o OUT [--size WxH]  load a BMP into a 32-bit buffer, write PNG (or .raw BGRA)\n"
    "  convert IN OUT --bits N [--rle]  load IN, save it as an N-bit BMP (32, 24 or 8)\n"
    "  isgray FILE...                 whether files are 8-bit gray BMPs\n"
    "  loadgray FILE -o OUT           load an 8-bit gray BMP, write PGM (or .png)\n"
    "  savegray IN.pgm OUT.bmp        save a binary PGM as an 8-bit gray BMP\n"
    "  batch LIST                     run LIST's commands, one a line, in one process\n"
    "\n"
    "options:\n"
    "  --plugin PATH   plug-in to load (default: $TESSALY_PLUGIN, else the one beside tessaly)\n"
    "  -h, --help      this text; 'tessaly COMMAND --help' for a command's own\n";

struct Command {
    const char* help;
    std::function<int(PluginLibrary&, const std::vector<std::string>&)> run;
};

// Where failures and usage errors are reported: standard error, or standard
// output in a batch, so that each command's messages stay beside its output.
std::FILE* messages = stderr;

int Fail(const std::string& message) {
    std::fprintf(messages, "tessaly: %s\n", message.c_str());
    return kFailed;
}

int Usage(const std::string& message, const char* help) {
    std::fprintf(messages, "tessaly: %s\n%s", message.c_str(), help);
    return kUsage;
}

// A request naming `path`; false when the path does not fit the record's 260 bytes.
bool MakeRequest(const std::string& path, ImageRequest& request) {
    request = ImageRequest{};
    if (path.size() >= sizeof request.filePath) return false;
    std::memcpy(request.filePath, path.c_str(), path.size() + 1);
    return true;
}

struct Geometry {
    int32_t width = 0, height = 0;
    uint32_t bitCount = 0, compression = 0;
};

bool Probe(PluginLibrary& plugin, const std::string& path, Geometry& g, std::string& error) {
    ImageRequest request;
    if (!MakeRequest(path, request)) {
        error = path + ": path too long";
        return false;
    }
    ImageRecord record{};
    if (plugin.imageProc(ImageCmdGetInfo, &request, &record) != 0) {
        error = path + ": not a readable BMP file";
        return false;
    }
    g = {record.info.width, record.info.height, record.info.bitCount, record.info.compression};
    return true;
}

std::string CompressionName(uint32_t c) {
    static const char* const names[] = {"RGB", "RLE8", "RLE4", "BITFIELDS", "JPEG", "PNG", "ALPHABITFIELDS"};
    return c < 7 ? names[c] : "unknown(" + std::to_string(c) + ")";
}

bool ParseSize(const std::string& text, int32_t& w, int32_t& h) {
    const auto x = text.find('x');
    if (x == std::string::npos) return false;
    char* end = nullptr;
    const long pw = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + x) return false;
    const long ph = std::strtol(text.c_str() + x + 1, &end, 10);
    if (*end != '\0' || pw <= 0 || ph <= 0 || pw > 1000000 || ph > 1000000) return false;
    w = static_cast<int32_t>(pw);
    h = static_cast<int32_t>(ph);
    return true;
}

// Loads `path` through the plug-in at width x height (the file's own size when 0).
bool LoadPixels(PluginLibrary& plugin, const std::string& path, int32_t& width, int32_t& height,
                std::vector<uint32_t>& pixels, std::string& error) {
    if (width == 0) {
        Geometry g;
        if (!Probe(plugin, path, g, error)) return false;
        width = g.width;
        height = g.height < 0 ? -g.height : g.height;
        if (g.width <= 0 || g.height == 0 || g.height == INT32_MIN) {
            error = path + ": the file declares no pixels (" + std::to_string(g.width) + " x " +
                    std::to_string(g.height) + ")";
            return false;
        }
    }
    const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (count > (uint64_t{1} << 30)) {
        error = path + ": image too large for this host (" + std::to_string(width) + " x " + std::to_string(height) + ")";
        return false;
    }
    pixels.assign(static_cast<std::size_t>(count), 0);
    ImageRequest request;
    MakeRequest(path, request);
    request.width = width;
    request.height = height;
    ImageRecord record{};
    record.pixels = pixels.data();
    if (plugin.imageProc(ImageCmdLoad, &request, &record) != 0) {
        error = path + ": the plug-in refused to load it";
        return false;
    }
    return true;
}

// Splits ARGS into options that take a value (-o X), flags and positional words.
struct Parsed {
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;
    std::vector<std::string> words;
    std::string error;
};
Parsed ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                 const std::vector<std::string>& allowedFlags) {
    Parsed p;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() > 1 && a[0] == '-') {
            if (std::find(valued.begin(), valued.end(), a) != valued.end()) {
                if (i + 1 >= args.size()) {
                    p.error = a + " needs a value";
                    return p;
                }
                p.values[a] = args[++i];
            } else if (std::find(allowedFlags.begin(), allowedFlags.end(), a) != allowedFlags.end()) {
                p.flags.push_back(a);
            } else {
                p.error = "unknown option " + a;
                return p;
            }
        } else {
            p.words.push_back(a);
        }
    }
    return p;
}

bool HasFlag(const Parsed& p, const std::string& f) {
    return std::find(p.flags.begin(), p.flags.end(), f) != p.flags.end();
}

const char* const kAboutHelp = "usage: tessaly about\n  Prints the plug-in's identifier (as a GUID), name and description.\n";
const char* const kInfoHelp =
    "usage: tessaly info FILE...\n"
    "  One line per file: width, height and row order, bit count, compression.\n";
const char* const kLoadHelp =
    "usage: tessaly load FILE -o OUT [--size WxH]\n"
    "  Loads FILE through the plug-in at its own size, or scaled to WxH, and writes\n"
    "  what the host received: a PNG (RGBA), or raw BGRA bytes when OUT ends in .raw.\n";
const char* const kConvertHelp =
    "usage: tessaly convert IN.bmp OUT.bmp --bits 32|24|8 [--rle]\n"
    "  Loads IN at its own size and saves it through the plug-in with N bits per pixel;\n"
    "  --rle writes an 8-bit file run-length encoded (BI_RLE8).\n";
const char* const kIsGrayHelp =
    "usage: tessaly isgray FILE...\n  One line per file: 'FILE: gray' or 'FILE: not gray'.\n";
const char* const kLoadGrayHelp =
    "usage: tessaly loadgray FILE -o OUT\n"
    "  Loads an 8-bit gray BMP as one byte per pixel and writes a binary PGM (or an\n"
    "  8-bit gray PNG when OUT ends in .png).\n";
const char* const kSaveGrayHelp =
    "usage: tessaly savegray IN.pgm OUT.bmp\n"
    "  Saves a binary 8-bit PGM through the plug-in as an 8-bit gray BMP. The plug-in\n"
    "  reports nothing from a gray save, so the file is loaded back and compared (a\n"
    "  FIFO or device, which cannot be read back, is not checked).\n";
const char* const kBatchHelp =
    "usage: tessaly batch LIST\n"
    "  Runs each line of LIST (a command and its words, separated by spaces) with the\n"
    "  plug-in loaded once: prints '== LINE', the command's output and messages, then\n"
    "  '== exit N' with the status it would have exited with. Exits with the highest.\n";

int About(PluginLibrary& plugin, const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("about takes no arguments", kAboutHelp);
    PluginDescriptor d{};
    plugin.baseProc(0, 0, &d);
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

int Info(PluginLibrary& plugin, const std::vector<std::string>& args) {
    if (args.empty()) return Usage("info needs at least one FILE", kInfoHelp);
    int status = kOk;
    for (const auto& path : args) {
        Geometry g;
        std::string error;
        if (!Probe(plugin, path, g, error)) {
            status = Fail(error);
            continue;
        }
        const int64_t rows = g.height < 0 ? -int64_t{g.height} : g.height;
        std::printf("%s: %d x %lld %s, %u bits, %s\n", path.c_str(), g.width, static_cast<long long>(rows),
                    g.height < 0 ? "top-down" : "bottom-up", g.bitCount, CompressionName(g.compression).c_str());
    }
    return status;
}

int Load(PluginLibrary& plugin, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {"-o", "--size"}, {});
    if (!p.error.empty()) return Usage(p.error, kLoadHelp);
    if (p.words.size() != 1 || !p.values.count("-o")) return Usage("load needs FILE and -o OUT", kLoadHelp);
    int32_t width = 0, height = 0;
    if (p.values.count("--size") && !ParseSize(p.values.at("--size"), width, height))
        return Usage("--size takes WxH with positive numbers", kLoadHelp);
    std::vector<uint32_t> pixels;
    std::string error;
    if (!LoadPixels(plugin, p.words[0], width, height, pixels, error)) return Fail(error);
    if (!WritePixels(p.values.at("-o"), pixels, width, height)) return Fail("cannot write " + p.values.at("-o"));
    return kOk;
}

int Convert(PluginLibrary& plugin, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {"--bits"}, {"--rle"});
    if (!p.error.empty()) return Usage(p.error, kConvertHelp);
    if (p.words.size() != 2 || !p.values.count("--bits")) return Usage("convert needs IN, OUT and --bits", kConvertHelp);
    const std::string bits = p.values.at("--bits");
    if (bits != "32" && bits != "24" && bits != "8") return Usage("--bits takes 32, 24 or 8", kConvertHelp);
    if (HasFlag(p, "--rle") && bits != "8") return Usage("--rle goes with --bits 8", kConvertHelp);
    int32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;
    std::string error;
    if (!LoadPixels(plugin, p.words[0], width, height, pixels, error)) return Fail(error);
    ImageRequest request;
    if (!MakeRequest(p.words[1], request)) return Fail(p.words[1] + ": path too long");
    request.width = width;
    request.height = height;
    request.bitCount = static_cast<uint8_t>(std::stoi(bits));
    request.compression = HasFlag(p, "--rle") ? 1u : 0u;
    ImageRecord record{};
    record.pixels = pixels.data();
    if (plugin.imageProc(ImageCmdSave, &request, &record) != 0)
        return Fail(p.words[1] + ": the plug-in could not save it");
    return kOk;
}

bool IsGray(PluginLibrary& plugin, const std::string& path) {
    ImageRequest request;
    if (!MakeRequest(path, request)) return false;
    ImageRecord record{};
    plugin.imageProc(ImageCmdIsGray, &request, &record);
    return record.isGray == 1;
}

int IsGrayCommand(PluginLibrary& plugin, const std::vector<std::string>& args) {
    if (args.empty()) return Usage("isgray needs at least one FILE", kIsGrayHelp);
    for (const auto& path : args) std::printf("%s: %s\n", path.c_str(), IsGray(plugin, path) ? "gray" : "not gray");
    return kOk;
}

int LoadGrayCommand(PluginLibrary& plugin, const std::vector<std::string>& args) {
    const Parsed p = ParseArgs(args, {"-o"}, {});
    if (!p.error.empty()) return Usage(p.error, kLoadGrayHelp);
    if (p.words.size() != 1 || !p.values.count("-o")) return Usage("loadgray needs FILE and -o OUT", kLoadGrayHelp);
    const std::string& path = p.words[0];
    Geometry g;
    std::string error;
    if (!Probe(plugin, path, g, error)) return Fail(error);
    // The plug-in reports nothing from a gray load, so the host asks first.
    if (!IsGray(plugin, path)) return Fail(path + ": not an 8-bit gray BMP");
    const int32_t height = g.height < 0 ? -g.height : g.height;
    if (g.width <= 0 || height <= 0 || int64_t{g.width} * height > (int64_t{1} << 31))
        return Fail(path + ": unusable size " + std::to_string(g.width) + " x " + std::to_string(g.height));
    std::vector<uint8_t> gray(static_cast<std::size_t>(g.width) * static_cast<std::size_t>(height));
    ImageRequest request;
    MakeRequest(path, request);
    ImageRecord record{};
    record.pixels = gray.data();
    plugin.imageProc(ImageCmdLoadGray, &request, &record);
    if (!WriteGray(p.values.at("-o"), gray, g.width, height)) return Fail("cannot write " + p.values.at("-o"));
    return kOk;
}

// True when `path` is a gray BMP of width x height holding exactly `gray`.
bool ReadsBackAs(PluginLibrary& plugin, const std::string& path, const std::vector<uint8_t>& gray, int width,
                 int height) {
    Geometry g;
    std::string error;
    if (!Probe(plugin, path, g, error) || g.width != width || (g.height != height && g.height != -height) ||
        !IsGray(plugin, path))
        return false;
    // The buffer starts as the opposite of every expected byte: a load that writes nothing cannot match.
    std::vector<uint8_t> back(gray.size());
    std::transform(gray.begin(), gray.end(), back.begin(), [](uint8_t v) { return static_cast<uint8_t>(~v); });
    ImageRequest request;
    MakeRequest(path, request);
    ImageRecord record{};
    record.pixels = back.data();
    plugin.imageProc(ImageCmdLoadGray, &request, &record);
    return back == gray;
}

int SaveGrayCommand(PluginLibrary& plugin, const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("savegray needs IN.pgm and OUT.bmp", kSaveGrayHelp);
    std::vector<uint8_t> gray;
    int width = 0, height = 0;
    std::string error;
    if (!ReadPgm(args[0], gray, width, height, error)) return Fail(error);
    ImageRequest request;
    if (!MakeRequest(args[1], request)) return Fail(args[1] + ": path too long");
    request.width = width;
    request.height = height;
    ImageRecord record{};
    record.pixels = gray.data();
    plugin.imageProc(ImageCmdSaveGray, &request, &record);
    // The plug-in reports nothing from a gray save, so the host reads the file
    // back and compares it with what it asked for (an old file that the save
    // left alone fails this). A FIFO or device cannot be read back.
    std::error_code ec;
    const auto type = std::filesystem::status(args[1], ec).type();
    if (type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::character) return kOk;
    if (!ReadsBackAs(plugin, args[1], gray, width, height)) return Fail(args[1] + ": the plug-in did not save it");
    return kOk;
}

const std::map<std::string, Command> kCommands = {
    {"about", {kAboutHelp, About}},          {"info", {kInfoHelp, Info}},
    {"load", {kLoadHelp, Load}},             {"convert", {kConvertHelp, Convert}},
    {"isgray", {kIsGrayHelp, IsGrayCommand}}, {"loadgray", {kLoadGrayHelp, LoadGrayCommand}},
    {"savegray", {kSaveGrayHelp, SaveGrayCommand}},
};

// Runs one command line (args[0] names the command) with `plugin`, loading the
// plug-in from `pluginPath` first if it is not loaded yet; --help needs no plug-in.
int RunCommand(const std::vector<std::string>& args, PluginLibrary& plugin, const std::string& pluginPath) {
    const auto found = kCommands.find(args[0]);
    if (found == kCommands.end()) return Usage("unknown command '" + args[0] + "'", kMainHelp);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const auto& a : rest) {
        if (a == "-h" || a == "--help") {
            std::fputs(found->second.help, stdout);
            return kOk;
        }
    }
    std::string error;
    if (!plugin.imageProc && !plugin.Load(pluginPath.empty() ? DefaultPluginPath() : pluginPath, error))
        return Fail(error);
    return found->second.run(plugin, rest);
}

// Many commands in one process, as a host that keeps the plug-in loaded: the
// Windows lanes run under emulation, where each process start costs seconds.
// Output is flushed after each marker, so a process that dies shows where.
int Batch(const std::vector<std::string>& args, const std::string& pluginPath) {
    if (args.size() != 1) return Usage("batch needs one LIST", kBatchHelp);
    std::ifstream list(args[0]);
    if (!list) return Fail("cannot read " + args[0]);
    messages = stdout;
    PluginLibrary plugin;
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
        const int status = words[0] == "batch" ? Usage("batch does not nest", kBatchHelp)
                                               : RunCommand(words, plugin, pluginPath);
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
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string pluginPath;
    if (const char* env = std::getenv("TESSALY_PLUGIN"); env && *env) pluginPath = env;
    while (!args.empty() && (args[0] == "--plugin" || args[0] == "-h" || args[0] == "--help")) {
        if (args[0] != "--plugin") {
            std::fputs(kMainHelp, stdout);
            return kOk;
        }
        if (args.size() < 2) return Usage("--plugin needs a PATH", kMainHelp);
        pluginPath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return Usage("no command given", kMainHelp);
    if (args[0] == "batch") {
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (rest.size() == 1 && (rest[0] == "-h" || rest[0] == "--help")) {
            std::fputs(kBatchHelp, stdout);
            return kOk;
        }
        return Batch(rest, pluginPath);
    }
    PluginLibrary plugin;
    return RunCommand(args, plugin, pluginPath);
}
