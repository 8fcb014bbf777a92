// Every reference evaluation case run through `calvenor eval --calls` with
// the scalar paths and with every lane kernel: error values and diagnostics
// to the bit, report files field by field.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "model/lanes.hpp"
#include "support/cli_run.hpp"
#include "support/exact.hpp"
#include "support/report_compare.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;
using testing::sameDouble;

std::vector<fs::path> evaluationCases() {
    std::vector<fs::path> cases;
    for (const auto& entry : fs::directory_iterator(testing::sharedDir() / "vectors/evaluations")) {
        if (entry.is_directory()) cases.push_back(entry.path());
    }
    std::sort(cases.begin(), cases.end());
    return cases;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    std::string w;
    while (ss >> w) out.push_back(w);
    return out;
}

// "call K error V diagnostics D1 ... D11" or "call K failed ...".
void expectSameCall(const std::string& ours, const std::string& expected) {
    const auto got = words(ours);
    const auto want = words(expected);
    ASSERT_GE(want.size(), 3u) << expected;
    ASSERT_GE(got.size(), 3u) << ours;
    EXPECT_EQ(got[1], want[1]);
    if (want[2] == "failed") {
        EXPECT_EQ(got[2], "failed") << ours;
        return;
    }
    ASSERT_EQ(got.size(), want.size()) << ours << "\nexpected\n" << expected;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (want[i] == "call" || want[i] == "error" || want[i] == "diagnostics" || i == 1) {
            EXPECT_EQ(got[i], want[i]);
            continue;
        }
        EXPECT_TRUE(sameDouble(testing::parseNumber(got[i]), testing::parseNumber(want[i])))
            << "call " << want[1] << " field " << i << ": got " << got[i] << ", expected " << want[i];
    }
}

// CALVENOR_KERNEL values: the scalar paths and every kernel this processor runs.
std::vector<std::string> kernelChoices() {
    std::vector<std::string> k{"scalar", "generic"};
    if (&portableKernel() != &genericKernel()) k.push_back(portableKernel().name);
    if (avx2Kernel() != nullptr) k.push_back(avx2Kernel()->name);
    return k;
}

class EvaluationVectors : public ::testing::TestWithParam<std::tuple<fs::path, std::string>> {};

TEST_P(EvaluationVectors, CallsAndReportsMatch) {
    const fs::path source = std::get<0>(GetParam());
    const testing::TempDir work;
    fs::copy(source, work.path(), fs::copy_options::recursive);
    fs::remove_all(work.path() / "expected-reports");
    fs::permissions(work.path(), fs::perms::owner_all, fs::perm_options::add);
    for (const auto& e : fs::recursive_directory_iterator(work.path())) {
        fs::permissions(e.path(), fs::perms::owner_read | fs::perms::owner_write |
                                      (e.is_directory() ? fs::perms::owner_exec : fs::perms::none),
                        fs::perm_options::add);
    }

    const testing::CliRun r =
        testing::run({"eval", "--dir", work.path().string(), "--calls", (work.path() / "calls.txt").string()}, {},
                     {"CALVENOR_KERNEL=" + std::get<1>(GetParam())});
    ASSERT_EQ(r.status, 0) << r.err;

    std::ifstream expectedFile(source / "expected.txt");
    std::stringstream expected;
    expected << expectedFile.rdbuf();
    const auto got = lines(r.out);
    const auto want = lines(expected.str());
    ASSERT_EQ(got.size(), want.size()) << r.out;
    for (std::size_t i = 0; i < want.size(); ++i) expectSameCall(got[i], want[i]);

    if (fs::exists(source / "expected-reports")) {
        EXPECT_TRUE(testing::reportTreeMatches(work.path(), source / "expected-reports"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EvaluationVectors,
                         ::testing::Combine(::testing::ValuesIn(evaluationCases()), ::testing::ValuesIn(kernelChoices())),
                         [](const auto& info) {
                             std::string name =
                                 std::get<0>(info.param).filename().string() + "_" + std::get<1>(info.param);
                             std::replace_if(name.begin(), name.end(),
                                             [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
                             return name;
                         });

}  // namespace
}  // namespace calvenor
