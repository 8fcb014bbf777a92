// Inputs kept from fuzzing (tests/testdata/regressions/<target>/), replayed
// through the fuzz targets' own checks: each must be read or rejected with a
// clear message, give the same result on a reload and with two threads, and
// (in the sanitizer build) leak nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/harness.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;

using Case = std::string (*)(const std::uint8_t*, std::size_t);

int replay(const char* target, Case run) {
    const fs::path folder = testing::sourceDir() / "tests/testdata/regressions" / target;
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() != ".md") inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
            << input.filename();
    }
    return static_cast<int>(inputs.size());
}

TEST(FuzzRegressions, FreeFormReader) { EXPECT_GT(replay("free_form", fuzzing::freeFormCase), 0); }
TEST(FuzzRegressions, TestList) { EXPECT_GT(replay("test_list", fuzzing::listCase), 0); }
TEST(FuzzRegressions, WholeLoad) { EXPECT_GT(replay("load", fuzzing::loadCase), 0); }

// The load input format itself: the list, then files introduced by "@@@".
TEST(FuzzRegressions, LoadInputSplitsIntoListAndFiles) {
    const auto input = fuzzing::splitLoadInput("L1\nL2\n@@@ a/b.txt\n1 2\n3\n@@@ :params\n1 2\n@@@ c");
    EXPECT_EQ(input.list, "L1\nL2");
    ASSERT_EQ(input.files.size(), 3u);
    EXPECT_EQ(input.files[0].first, "a/b.txt");
    EXPECT_EQ(input.files[0].second, "1 2\n3");
    EXPECT_EQ(input.files[1].first, ":params");
    EXPECT_EQ(input.files[2].first, "c");
    EXPECT_EQ(input.files[2].second, "");
    EXPECT_FALSE(fuzzing::staysInside("/etc/passwd"));
    EXPECT_FALSE(fuzzing::staysInside("\\abs"));
    EXPECT_FALSE(fuzzing::staysInside("a\\..\\..\\b"));
    EXPECT_TRUE(fuzzing::staysInside(".\\vornevResult\\T1.txt"));
    EXPECT_FALSE(fuzzing::listStaysInside("ok.txt 1 2 3\n'/dev/zero' 1 2 3\n"));
    EXPECT_TRUE(fuzzing::listStaysInside("ok.txt 1 2 3\n3*x\n"));
}

}  // namespace
}  // namespace calvenor
