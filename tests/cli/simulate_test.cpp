// The simulate command: reference runs reproduced through the command line,
// and bad arguments rejected in one line with status 2.
#include <gtest/gtest.h>

#include "support/cli_run.hpp"

#include <sstream>

#include "support/exact.hpp"

namespace calvenor {
namespace {

using testing::CliRun;
using testing::run;

// The command line that reproduces a reference run.
std::vector<std::string> argsFor(const testing::PathVector& v) {
    const auto& in = v.inputs;
    std::vector<std::string> args = {"simulate", "--path", in.at("path"),
                                     "--p0", in.at("pStart"), "--e0", in.at("eStart"),
                                     "--strain-range", in.at("strainRange"), "--points", in.at("nPoints"),
                                     "--b", in.at("bValue"), "--z2", in.at("zSecond"),
                                     "--fill", in.at("fill")};
    if (in.at("path") == "shear") {
        args.push_back("--type");
        args.push_back(in.at("testType"));
    }
    for (const char* name : {"propm", "enu", "pkappa", "plamda", "pnvoid", "cohesion", "zFirst", "chi", "sm"}) {
        args.push_back(in.at(name));
    }
    return args;
}

TEST(SimulateCommand, ReproducesReferenceRunsIncludingUntouchedEntries) {
    for (const char* name : {"17-shear-type5-void-ratio-reaches-zero.txt", "19-shear-type3-b-half-z-blend-cohesion.txt",
                             "22-isotropic-z-blend.txt"}) {
        SCOPED_TRACE(name);
        const auto v = testing::readPathVector(testing::sharedDir() / "vectors/paths" / name);
        const CliRun r = run(argsFor(v));
        ASSERT_EQ(r.status, 0) << r.err;
        std::istringstream lines(r.out);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "point,epsAxial,qDev,pMean,voidRatio,poreU,epsVol");
        std::size_t i = 0;
        for (; std::getline(lines, line); ++i) {
            ASSERT_LT(i, v.rows.size());
            std::istringstream cells(line);
            std::string cell;
            for (std::size_t c = 0; std::getline(cells, cell, ','); ++c) {
                ASSERT_TRUE(testing::sameDouble(testing::parseNumber(cell), v.rows[i][c]))
                    << "point " << i + 1 << " column " << c << ": " << cell;
            }
        }
        EXPECT_EQ(i, v.rows.size());
    }
}

TEST(SimulateCommand, BadArgumentsGiveOneLineAndStatusTwo) {
    const std::vector<std::string> params = {"1.3", "0.3", "0.02", "0.1", "2.0", "0", "1.95", "0.2", "1"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), params.begin(), params.end());
        return args;
    };
    for (const auto& args : {
             with({"simulate", "--path", "sideways", "--type", "3", "--p0", "100", "--e0", "1", "--strain-range", "0.1"}),
             with({"simulate", "--path", "shear", "--p0", "100", "--e0", "1", "--strain-range", "0.1"}),
             with({"simulate", "--path", "shear", "--type", "3", "--p0", "abc", "--e0", "1", "--strain-range", "0.1"}),
             with({"simulate", "--path", "shear", "--type", "3", "--p0", "100", "--e0", "1", "--strain-range", "0.1", "--points", "1"}),
             std::vector<std::string>{"simulate", "--path", "isotropic", "--p0", "100", "--e0", "1", "--strain-range", "0.1", "1", "2"},
         }) {
        const CliRun r = run(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("calvenor: ", 0), 0u) << r.err;
    }
}

}  // namespace
}  // namespace calvenor
