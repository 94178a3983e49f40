// The command-line parser: values as the next word or after '=', flags, words
// and "--", and the errors a command reports as usage errors.
#include <gtest/gtest.h>

#include "host.h"

namespace tessaly_cli {
namespace {

TEST(ParseArgs, Table) {
    struct Case {
        std::vector<std::string> args;
        std::string want;  // values as name=value, flags, words, each ';'-ended; or "error: ..."
    };
    const Case cases[] = {
        {{"in.bmp", "-o", "out.png", "--size", "5x5"}, "--size=5x5;-o=out.png;in.bmp;"},
        {{"--size=50%", "in.bmp", "-o", "x"}, "--size=50%;-o=x;in.bmp;"},
        {{"--size=", "in.bmp"}, "--size=;in.bmp;"},          // an empty value is the command's to refuse
        {{"--format=a=b"}, "--format=a=b;"},                 // the first '=' splits
        {{"--rle", "-", "--", "--size", "-o"}, "--rle;-;--size;-o;"},
        {{"--rle=1"}, "error: --rle takes no value"},
        {{"-o=x.png"}, "error: unknown option -o=x.png"},    // short options take the next word only
        {{"--frob=1"}, "error: unknown option --frob"},
        {{"in.bmp", "-o"}, "error: -o needs a value"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        const Parsed p = ParseArgs(c.args, {"-o", "--size", "--format"}, {"--rle"});
        std::string got;
        if (!p.error.empty()) {
            got = "error: " + p.error;
        } else {
            for (const auto& [name, value] : p.values) got += name + "=" + value + ";";
            for (const auto& f : p.flags) got += f + ";";
            for (const auto& w : p.words) got += w + ";";
        }
        EXPECT_EQ(got, c.want);
    }
}

}  // namespace
}  // namespace tessaly_cli
