// calvenor import: the example makes its committed test set again, byte for
// byte and run after run; a bad description is refused with file, line and key.
#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "support/cli_run.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::readAll;
using testing::run;
using testing::TempDir;

TEST(ImportCli, TheExampleMakesItsCommittedTestSetAgainByteForByte) {
    TempDir work;
    const fs::path example = testing::sourceDir() / "examples" / "lab-import";
    const std::string config = (example / "import.toml").string();
    // Run from elsewhere: the description's file names are taken from its own folder.
    const CliRun first = run({"import", "--config", config, "--out", "a"}, work.path().string());
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "imported 5 tests (1000 rows) into a/vornevResult; working list: 5 tests\n"
                         "report: a/import-report.md (2 warnings)\n");
    EXPECT_EQ(first.err, "calvenor: warning: " + (example / "export" / "CD-200.csv").string() +
                             ":143: test 'CD-200': 1 row without ev dropped (the first on this line: column 6 ('Volume "
                             "in (cm3)') is blank); type 3 (drained) tests are scored on it\n"
                             "calvenor: warning: " + (example / "export" / "CD-400.csv").string() +
                             ":143: test 'CD-400': 1 row without ev dropped (the first on this line: column 6 ('Volume "
                             "in (cm3)') is blank); type 3 (drained) tests are scored on it\n");
    ASSERT_EQ(run({"import", "--config", config, "--out", "b"}, work.path().string()).status, 0);

    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(work.path() / "a")) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const fs::path relative = fs::relative(entry.path(), work.path() / "a");
        const std::string bytes = readAll(entry.path());
        EXPECT_EQ(bytes, readAll(work.path() / "b" / relative)) << relative << " differs between two runs";
        EXPECT_EQ(bytes, readAll(example / relative)) << relative << " differs from the committed example";
    }
    EXPECT_EQ(files, 8u);  // five tests, two lists, the report
}

TEST(ImportCli, BadDescriptionsAreRefusedWithFileLineAndKey) {
    TempDir work;
    std::ofstream(work.path() / "x.csv") << "S,Q,P\n0,0,100\n0.01,40,113\n";
    const std::string data = "[data]\nfiles = \"x.csv\"\n[data.columns]\naxial_strain = \"S\"\n";
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"[data]\nfiles = \"x.csv\"\ncolums = 1\n", 2,
         "d.toml:3: data.colums: unknown key (expected files, separator, decimal, comment, section, header, unit_rows, "
         "missing, test_id, [columns], [units])"},
        {data, 2, "d.toml: data.columns: no mean stress: give mean_stress, or radial_stress with axial_stress or "
                  "deviator_stress"},
        {data + "mean_stress = \"P\"\n[data.units]\nstrain = \"percent!\"\n", 2,
         "d.toml:7: data.units.strain: expected \"%\" or \"plain\" (0.05 is 5 %)"},
        {data + "mean_stress = \"P\"\n[[test]]\nid = \"x\"\ntype = \"triaxial\"\n", 2,
         "d.toml:8: test[1].type: unknown test type 'triaxial' (expected 1 to 5, undrained, constant-p, drained, K0, "
         "isotropic or a name given in [types])"},
        {"max_rows = 2\n" + data, 2,
         "d.toml:1: max_rows: expected 0 (every row) or at least 3 (the first, the last and the peak q row)"},
        {"[data]\nfiles = \"nothing*.csv\"\n[data.columns]\naxial_strain = \"S\"\nmean_stress = \"P\"\n", 1,
         "data.files: 'nothing*.csv' matches no file"},
        {"working = [\"T9\"]\n" + data + "mean_stress = \"P\"\n[tests]\ntype = 4\ne_initial = 1.2\n", 1,
         "working: no test 'T9' in the data (its tests: 'x')"},
        {data + "mean_stress = \"P\"\ndeviator_stress = \"Q\"\n[tests]\ntype = \"drained\"\ne_initial = 1.2\n", 0, ""},
    };
    for (const auto& [text, status, message] : cases) {
        std::ofstream(work.path() / "d.toml") << text;
        const CliRun r = run({"import", "--config", "d.toml", "--out", "out"}, work.path().string());
        EXPECT_EQ(r.status, status) << text << r.err;
        if (!message.empty()) {
            EXPECT_EQ(r.err, "calvenor: " + message + "\n") << text;
        }
    }
    EXPECT_EQ(readAll(work.path() / "out" / "vornevResult" / "x.txt"), "0 0 100 0 0\n0.01 40 113 0 0\n");
}

}  // namespace
}  // namespace calvenor
