// calvenor synth: the configuration round-trips through synth.toml, bad
// configurations are refused with file, line and key, and the tree is written.
#include <gtest/gtest.h>

#include <fstream>

#include "calibration/synthesis.hpp"
#include "io/numbers.hpp"
#include "support/cli_run.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

using testing::CliRun;
using testing::run;
using testing::TempDir;

std::string fileText(const std::filesystem::path& file) { return testing::readAll(file); }

TEST(Synth, ConfigurationRoundTripsAndBadEntriesAreRefused) {
    TempDir work;
    const std::filesystem::path first = work.path() / "s.toml";
    std::ofstream(first) << "noise = 0.01\nseed = 9\nnoise_model = \"additive\"\n[parameters]\nplamda = 0.1\n"
                            "[[test]]\nname = \"A\"\ntype = 2\np_consolidation = 150\nrows = 5\n";
    CliRun r = run({"synth", "--out", (work.path() / "a").string(), "--config", first.string(), "--no-plot"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string written = fileText(work.path() / "a" / "synth.toml");
    ModelParameters truth = defaultSynthConfig().parameters;
    truth.plamda = 0.1;
    EXPECT_NE(written.find("p_initial = 50\ne_initial = " + shortest(normalCompressionVoidRatio(truth, 50.0)) + "\n"),
              std::string::npos)
        << written;
    EXPECT_NE(written.find("plamda = 0.1\n"), std::string::npos);
    EXPECT_NE(written.find("seed = 9\nnoise_model = \"additive\"\n"), std::string::npos);
    // synth.toml makes the same tests again.
    r = run({"synth", "--out", (work.path() / "b").string(), "--config", (work.path() / "a" / "synth.toml").string(),
             "--no-plot"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fileText(work.path() / "b" / "synth.toml"), written);
    EXPECT_EQ(fileText(work.path() / "b" / "vornevResult" / "A.txt"), fileText(work.path() / "a" / "vornevResult" / "A.txt"));

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"colour = 1\n", "s.toml:1: colour: unknown key"},
        {"[parameters]\nlambda = 0.1\n", "s.toml:2: parameters.lambda: unknown parameter"},
        {"[[test]]\ntype = 3\np_initial = 200\np_consolidation = 100\n",
         "s.toml:1: test[1]: p_consolidation (100) is below p_initial (200)"},
        {"[[test]]\ntype = 7\np_consolidation = 100\n", "s.toml:2: test[1].type: 7 is out of range (1 to 5)"},
        {"[[test]]\np_consolidation = 100\n", "test[1]: type is missing"},
        {"[[test]]\ntype = 1\np_consolidation = 100\n[[test]]\ntype = 1\np_consolidation = 100\n",
         "the name 'CU100' is used twice"},
        {"noise = -0.1\n", "s.toml:1: noise: expected a value from 0 to 1"},
        {"noise_model = \"gaussian\"\n", "s.toml:1: noise_model: expected \"additive\" or \"multiplicative\""},
    };
    for (const auto& [text, expected] : cases) {
        std::ofstream(first) << text;
        r = run({"synth", "--out", (work.path() / "c").string(), "--config", first.string(), "--no-plot"});
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_NE(r.err.find(expected), std::string::npos) << text << "message: " << r.err;
    }
}

TEST(Synth, CommandWritesTheTree) {
    TempDir dir;
    const CliRun r = run({"synth", "--out", dir.path().string(), "--noise", "0.01", "--seed", "3", "--no-plot"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("wrote 6 synthetic tests"), std::string::npos) << r.out;
    const std::string toml = fileText(dir.path() / "synth.toml");
    EXPECT_NE(toml.find("noise = 0.01\nseed = 3\n"), std::string::npos) << toml;
    EXPECT_NE(toml.find("propm = 1.2\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "vornevResult" / "CU400.txt"));
}

}  // namespace
}  // namespace calvenor
