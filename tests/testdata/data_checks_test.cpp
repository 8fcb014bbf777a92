// What a load notices without failing: a byte-order mark passed over, records
// with more values than are read, the plausibility warnings and the tests
// that are not scored, each naming the file and line, once.
#include "testdata/data_checks.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

TEST(LoadWarnings, NameFileAndLineOnceAndTheDataStaysAsRead) {
    testing::TempDir host;
    const fs::path v = host.path() / "vornevResult";
    write(v / "evReadInList.txt",
          "\xEF\xBB\xBFvornevResult\\A.txt 1 100 0.8\n"
          "vornevResult\\B.txt 3 100 0.8 7 8\n"
          "vornevResult\\A.txt 1 100 0.8\n"
          "vornevResult\\C.txt 9 100 0.8\n");
    write(v / "A.txt", "\xEF\xBB\xBF" "0.01 0 100 0.002 0\n0.005 10 100 0 5\n-0.01 20 100 0 6\n");
    write(v / "B.txt", "0 0 100 0 0\n0.05 10 110 0.1 0 2*9 / 7\n0.1 20 120 0.2 0,0\n15 30 130 0.3 0\n");
    write(v / "C.txt", "0 0 100 0 0\n0.01 1 100 0 0\n");
    std::vector<std::string> warnings;
    const TestStore store = loadTestList(host.path(), workingListName, &warnings);

    const std::string list = (v / "evReadInList.txt").string(), a = (v / "A.txt").string(),
                      b = (v / "B.txt").string();
    const std::string comma = "; a comma separates values, so decimals need a point (0.01, not 0,01)";
    const std::vector<std::string> expected = {
        list + ":2: 6 values on the line, where a list record has 4: the first 4 are read and the rest ignored" + comma,
        b + ":2: 7 values on the line, where a data row has 5: the first 5 are read and the rest ignored "
            "(likewise on 1 more line)" + comma,
        a + ":1: the first row is at axial strain 0.01, not 0: shearing is simulated from strain 0 at this row's p "
            "(100 kPa)",
        a + ":2: axial strain 0.005 after 0.01 on the row before: rows should be in increasing strain (likewise on "
            "1 more row)",
        a + ":3: negative axial strain -0.01: extension is not modelled (compression is positive)",
        a + ":1: volumetric strain 0.002 in a type 1 test (undrained, constant volume): a drained test? Type 1 is "
            "scored on q and u; type 3 (drained) on q and the volumetric strain",
        b + ":4: axial strain 15: strains are plain numbers (0.05 for 5 %), so the strains look like percent",
        list + ":3: the same data file and type as line 1 (vornevResult/A.txt, type 1): the test is scored twice",
        list + ":4: vornevResult/C.txt is not scored: it has type code 9, which no measure scores, so it adds "
               "nothing to the error value",
    };
    EXPECT_EQ(warnings, expected);
    // The mark is not part of the first name or number; extra values are ignored.
    ASSERT_EQ(store.nTests, 4);
    EXPECT_EQ(store.testFile[0], "vornevResult\\A.txt");
    EXPECT_EQ(store.measured(0, 0, strainCol), 0.01);
    EXPECT_EQ(store.eInitial[1], 0.8);
    EXPECT_EQ(store.measured(1, 1, uCol), 0.0);
    EXPECT_EQ(store.measured(1, 2, uCol), 0.0);
    // Reading the records alone gives the same warnings, without the scoring ones.
    std::vector<std::string> read;
    readTestList(host.path(), workingListName, &read);
    EXPECT_EQ(read, std::vector<std::string>(expected.begin(), expected.end() - 1));
}

TEST(LoadWarnings, TestsInMemoryAndWhatScoresNothing) {
    LabTest t{"vornevResult\\U.txt", 1, 100.0, 0.8, {{0.0, 0.0, 100.0, 0.0, 0.0}, {-0.01, 0.0, 90.0, 0.0, 0.0}}};
    EXPECT_EQ(plausibilityWarnings(std::vector<LabTest>{t}),
              (std::vector<std::string>{
                  "vornevResult/U.txt, row 2: axial strain -0.01 after 0 on the row before: rows should be in "
                  "increasing strain",
                  "vornevResult/U.txt, row 2: negative axial strain -0.01: extension is not modelled (compression "
                  "is positive)"}));
    // Type 1 is scored on q and u, both 0 here; type 0 on nothing.
    LabTest zero = t;
    zero.type = 0;
    const TestStore store = buildTestStore({t, zero});
    EXPECT_EQ(nothingScoredReason(store),
              "no test is scored: vornevResult/U.txt has type 1, scored on q and u, and its q and u are 0 in every "
              "row; vornevResult/U.txt has type code 0, which no measure scores");
    EXPECT_EQ(nothingScoredReason(buildTestStore({})), "no test is scored: the list holds no tests");
    t.rows[1][uCol] = 5.0;
    EXPECT_EQ(nothingScoredReason(buildTestStore({t, zero})), "");
}

}  // namespace
}  // namespace calvenor
