// The BMP suite through the plug-in's exports: every good file pixel-exact,
// the questionable ones matched or refused, no bad file harmful. Prints the
// table of what loads and what is refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "support/bmp_builder.h"
#include "support/plugin.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wcast-align"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace tessaly::test {
namespace {

struct Entry {
    std::string path, category;
    std::vector<std::string> references;
};

std::vector<Entry> ReadManifest(const std::string& root) {
    std::ifstream in(root + "/MANIFEST.tsv");
    std::vector<Entry> out;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        for (std::string col; std::getline(ss, col, '\t');) cols.push_back(col);
        if (cols.size() < 6) continue;
        Entry e{cols[0], cols[1], {}};
        std::stringstream refs(cols[5]);
        for (std::string r; std::getline(refs, r, ';');)
            if (!r.empty()) e.references.push_back(r);
        out.push_back(e);
    }
    return out;
}

// The largest channel difference against a reference (RGBA bytes), pixels
// transparent in both counting as equal; -1 when the sizes differ.
int Distance(const std::vector<std::uint32_t>& got, int w, int h, const std::string& refPath) {
    int rw = 0, rh = 0, n = 0;
    unsigned char* ref = stbi_load(refPath.c_str(), &rw, &rh, &n, 4);
    if (!ref) return -1;
    int worst = rw == w && rh == h ? 0 : -1;
    for (std::size_t i = 0; worst >= 0 && i < got.size(); ++i) {
        const std::uint32_t p = got[i];
        const unsigned char mine[4] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                                       static_cast<unsigned char>(p), static_cast<unsigned char>(p >> 24)};
        const unsigned char* theirs = ref + 4 * i;
        if (mine[3] == 0 && theirs[3] == 0) continue;
        for (int c = 0; c < 4; ++c) worst = std::max(worst, std::abs(mine[c] - theirs[c]));
    }
    stbi_image_free(ref);
    return worst;
}

enum class Outcome { Exact, NearMiss, Mismatch, Refused, Loaded };

TEST(Conformance, BmpSuite) {
    const std::string root = BmpSuiteDir();
    if (root.empty()) GTEST_SKIP() << "the BMP suite is not beside the project";
    std::map<std::string, std::map<Outcome, int>> counts;
    std::string table;
    for (const Entry& e : ReadManifest(root)) {
        const std::string file = root + "/" + e.path;
        ImageRequest request = MakeRequest(file);
        ImageRecord record{};
        Outcome outcome = Outcome::Refused;
        std::string detail;
        if (LoadedPlugin().imageProc(ImageCmdGetInfo, &request, &record) == 0 && record.info.width > 0 &&
            record.info.height != 0 && record.info.width <= 4096 && std::abs(record.info.height) <= 4096) {
            const int w = record.info.width, h = std::abs(record.info.height);
            const auto pixels = LoadThroughPlugin(file, w, h);
            if (!pixels.empty()) {
                outcome = e.references.empty() ? Outcome::Loaded : Outcome::Mismatch;
                int best = 1000;
                for (const auto& ref : e.references) {
                    const int d = Distance(pixels, w, h, root + "/" + ref);
                    if (d >= 0) best = std::min(best, d);
                }
                if (!e.references.empty()) {
                    outcome = best == 0 ? Outcome::Exact : best <= 1 ? Outcome::NearMiss : Outcome::Mismatch;
                    if (best != 0) detail = " (off by " + std::to_string(best) + ")";
                }
            }
        }
        counts[e.category][outcome]++;
        static const char* const names[] = {"exact", "within 1", "MISMATCH", "refused", "loaded"};
        table += "  " + e.path + ": " + names[static_cast<int>(outcome)] + detail + "\n";
        if (e.category == "good") {
            EXPECT_EQ(outcome, Outcome::Exact) << e.path;
        } else if (e.category == "questionable") {
            EXPECT_NE(outcome, Outcome::Mismatch) << e.path;
        }
    }
    std::printf("BMP suite through the plug-in:\n%s", table.c_str());
    for (auto& [category, byOutcome] : counts)
        std::printf("%-13s exact %d, within 1 %d, refused %d, loaded without reference %d, mismatched %d\n",
                    category.c_str(), byOutcome[Outcome::Exact], byOutcome[Outcome::NearMiss],
                    byOutcome[Outcome::Refused], byOutcome[Outcome::Loaded], byOutcome[Outcome::Mismatch]);
    EXPECT_EQ(counts["good"][Outcome::Exact], 27);
    EXPECT_GE(counts["questionable"][Outcome::Exact], 38);
    EXPECT_EQ(counts["questionable"][Outcome::Refused], 2);  // the embedded JPEG and PNG streams
    EXPECT_EQ(counts["related"][Outcome::Exact], 1);         // the OS/2 bitmap array
}

}  // namespace
}  // namespace tessaly::test
