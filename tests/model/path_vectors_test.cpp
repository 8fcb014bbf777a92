// Every reference run of both integrators, reproduced to the bit, including
// the entries a run leaves untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "model/integrators.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

using testing::PathVector;
using testing::sameDouble;

std::vector<std::filesystem::path> pathVectorFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(testing::sharedDir() / "vectors/paths")) {
        if (entry.path().extension() == ".txt") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class PathVectors : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(PathVectors, MatchToTheBit) {
    const PathVector v = testing::readPathVector(GetParam());
    const int n = static_cast<int>(v.number("nPoints"));
    ASSERT_EQ(v.rows.size(), static_cast<std::size_t>(n));

    const ModelConstants model{v.number("propm"),  v.number("plamda"), v.number("pkappa"),
                               v.number("enu"),    v.number("pnvoid"), v.number("chi"),
                               v.number("sm"),     v.number("zFirst"), v.number("zSecond"),
                               v.number("cohesion")};
    const StartState start{v.number("pStart"), v.number("eStart")};
    const double fill = v.number("fill");
    std::vector<std::vector<double>> curves(6, std::vector<double>(n, fill));
    const PathArrays out{curves[0], curves[1], curves[2], curves[3], curves[4], curves[5]};

    if (v.inputs.at("path") == "shear") {
        const ShearSettings s{v.number("bValue"), static_cast<std::int32_t>(v.number("testType")),
                              v.number("strainRange"), n};
        integrateShearPath(model, start, s, out);
    } else {
        ASSERT_EQ(v.inputs.at("path"), "isotropic");
        const CompressionSettings s{v.number("bValue"), v.number("strainRange"), n};
        integrateIsotropicCompression(model, start, s, out);
    }

    static const char* names[] = {"epsAxial", "qDev", "pMean", "voidRatio", "poreU", "epsVol"};
    int mismatches = 0;
    for (int c = 0; c < 6; ++c) {
        for (int i = 0; i < n && mismatches < 5; ++i) {
            const double expected = v.rows[i][c + 1];
            if (!sameDouble(curves[c][i], expected)) {
                ++mismatches;
                ADD_FAILURE() << names[c] << " at point " << i + 1 << ": got "
                              << ::testing::PrintToString(curves[c][i]) << ", expected "
                              << ::testing::PrintToString(expected);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, PathVectors, ::testing::ValuesIn(pathVectorFiles()),
                         [](const auto& info) {
                             std::string name = info.param.stem().string();
                             std::replace_if(name.begin(), name.end(),
                                             [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
                             return name;
                         });

}  // namespace
}  // namespace calvenor
