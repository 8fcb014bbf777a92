// Every reference run of both integrators, reproduced to the bit by the
// scalar runs and by every lane kernel, including the entries a run leaves
// untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "model/integrators.hpp"
#include "model/lanes.hpp"
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
    const bool shear = v.inputs.at("path") == "shear";
    if (!shear) {
        ASSERT_EQ(v.inputs.at("path"), "isotropic");
    }
    const ShearSettings shearSettings{v.number("bValue"), static_cast<std::int32_t>(v.number("testType")),
                                      v.number("strainRange"), n};
    const CompressionSettings compressionSettings{v.number("bValue"), v.number("strainRange"), n};

    // The scalar integrators, then every lane kernel here (a compression run
    // to a pressure it never brackets is the full run).
    std::vector<const LaneKernel*> kernels{nullptr, &genericKernel()};
    if (&portableKernel() != &genericKernel()) kernels.push_back(&portableKernel());
    if (avx2Kernel() != nullptr) kernels.push_back(avx2Kernel());
    for (const LaneKernel* kernel : kernels) {
        const std::string by = kernel == nullptr ? "scalar" : kernel->name;
        std::vector<std::vector<double>> curves(6, std::vector<double>(n, fill));
        const PathArrays out{curves[0], curves[1], curves[2], curves[3], curves[4], curves[5]};
        if (kernel == nullptr && shear) {
            integrateShearPath(model, start, shearSettings, out);
        } else if (kernel == nullptr) {
            integrateIsotropicCompression(model, start, compressionSettings, out);
        } else if (shear) {
            ShearLane lane{model, start, shearSettings, out};
            kernel->shear(std::span(&lane, 1));
        } else {
            CompressionLane lane{model, start, compressionSettings, out, std::nan("")};
            kernel->compress(std::span(&lane, 1));
        }

        static const char* names[] = {"epsAxial", "qDev", "pMean", "voidRatio", "poreU", "epsVol"};
        int mismatches = 0;
        for (int c = 0; c < 6; ++c) {
            for (int i = 0; i < n && mismatches < 5; ++i) {
                const double expected = v.rows[i][c + 1];
                if (!sameDouble(curves[c][i], expected)) {
                    ++mismatches;
                    ADD_FAILURE() << by << ": " << names[c] << " at point " << i + 1 << ": got "
                                  << ::testing::PrintToString(curves[c][i]) << ", expected "
                                  << ::testing::PrintToString(expected);
                }
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
