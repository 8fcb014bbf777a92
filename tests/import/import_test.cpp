// The importer: each derivation to the bit (and an imported set evaluates as
// the same tests built in memory), the reader's formats giving the same
// tests, thinning, and the checks with their exact messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <string>

#include "import/import.hpp"
#include "objective/objective.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;
using testing::sameDouble;
using testing::TempDir;

void put(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

ColumnRef col(const char* header) { return {header, 0}; }

DataSource source(const std::string& file) {
    DataSource d;
    d.table.files = {file};
    return d;
}

void expectSameTests(const std::vector<LabTest>& a, const std::vector<LabTest>& b, const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t t = 0; t < a.size(); ++t) {
        EXPECT_EQ(a[t].name, b[t].name) << what;
        EXPECT_EQ(a[t].type, b[t].type) << what;
        EXPECT_TRUE(sameDouble(a[t].pInitial, b[t].pInitial)) << what << " " << a[t].name;
        EXPECT_TRUE(sameDouble(a[t].eInitial, b[t].eInitial)) << what << " " << a[t].name;
        ASSERT_EQ(a[t].rows.size(), b[t].rows.size()) << what << " " << a[t].name;
        for (std::size_t r = 0; r < a[t].rows.size(); ++r)
            for (int c = 0; c < columnCount; ++c)
                EXPECT_TRUE(sameDouble(a[t].rows[r][c], b[t].rows[r][c]))
                    << what << " " << a[t].name << " row " << r << " column " << c << ": " << a[t].rows[r][c]
                    << " against " << b[t].rows[r][c];
    }
}

double num(const char* text) { return std::stod(text); }

// One file per derivation; the expected rows are built here from the same
// numbers with the formulas the documentation gives.
TEST(Import, EachDerivationToTheBitAndTheImportedSetEvaluatesAsTheSameTestsInMemory) {
    TempDir dir;
    ImportConfig config;
    config.baseFolder = dir.path();
    config.defaults.pInitial = 50.0;
    config.defaults.eInitial = 1.6;

    // Undrained, total stresses in MPa, strain in %, excess pore pressure plus back pressure.
    put(dir.path() / "CU.csv", "strain,sa,sr,du\n0,0.3,0.3,0\n0.7,0.3612,0.3,0.0231\n2.9,0.3851,0.3,0.0417\n");
    DataSource cu = source("CU.csv");
    cu.columns[static_cast<int>(Measured::axialStrain)] = col("strain");
    cu.columns[static_cast<int>(Measured::axialStress)] = col("sa");
    cu.columns[static_cast<int>(Measured::radialStress)] = col("sr");
    cu.columns[static_cast<int>(Measured::excessPorePressure)] = col("du");
    cu.units = {StrainUnit::percent, std::nullopt, StressUnit::MPa, StressKind::total, {}};
    config.data.push_back(cu);
    TestSettings cuSettings;
    cuSettings.id = "CU";
    cuSettings.type = 1;
    cuSettings.backPressure = 0.2;  // MPa, as the data
    cuSettings.pInitial = 0.05;
    config.tests.push_back(cuSettings);
    // Drained, effective stresses, volume change over the specimen volume, pore pressure less the back pressure.
    put(dir.path() / "CD.csv",
        "strain;sa;sr;dv;u\n0;100;100;0;50\n0,013;183,7;100;0,61;50,4\n0,051;241,3;100;1,73;50,1\n");
    DataSource cd = source("CD.csv");
    cd.columns[static_cast<int>(Measured::axialStrain)] = col("strain");
    cd.columns[static_cast<int>(Measured::axialStress)] = col("sa");
    cd.columns[static_cast<int>(Measured::radialStress)] = col("sr");
    cd.columns[static_cast<int>(Measured::volumeChange)] = col("dv");
    cd.columns[static_cast<int>(Measured::porePressure)] = col("u");
    config.data.push_back(cd);
    TestSettings cdSettings;
    cdSettings.id = "CD";
    cdSettings.type = 3;
    cdSettings.specimenVolume = 98.17;
    cdSettings.backPressure = 50.0;
    config.tests.push_back(cdSettings);
    // Constant p, deviator and radial stress, volumetric strain from the void
    // ratio, the list state from the first row.
    put(dir.path() / "CP.csv", "strain\tq\tsr\te\n0\t0\t120\t1.412\n0.02\t61.9\t99.4\t1.398\n0.06\t98.2\t87.3\t1.371\n");
    DataSource cp = source("CP.csv");
    cp.columns[static_cast<int>(Measured::axialStrain)] = col("strain");
    cp.columns[static_cast<int>(Measured::deviatorStress)] = col("q");
    cp.columns[static_cast<int>(Measured::radialStress)] = col("sr");
    cp.columns[static_cast<int>(Measured::voidRatio)] = col("e");
    config.data.push_back(cp);
    TestSettings cpSettings;
    cpSettings.id = "CP";
    cpSettings.type = 2;
    cpSettings.pInitialFromFirstRow = true;
    cpSettings.eInitialFromFirstRow = true;
    config.tests.push_back(cpSettings);
    // Total stresses less an absolute pore pressure; u from the first row's pore pressure.
    put(dir.path() / "CU2.csv", "strain,sa,sr,u\n0,500,500,300\n0.004,541.7,500,311.2\n0.012,566.1,500,327.9\n");
    DataSource cu2 = source("CU2.csv");
    cu2.columns[static_cast<int>(Measured::axialStrain)] = col("strain");
    cu2.columns[static_cast<int>(Measured::axialStress)] = col("sa");
    cu2.columns[static_cast<int>(Measured::radialStress)] = col("sr");
    cu2.columns[static_cast<int>(Measured::porePressure)] = col("u");
    cu2.units.stresses = StressKind::total;
    config.data.push_back(cu2);
    config.defaults.type = 1;

    const ImportResult imported = importTests(config);

    std::vector<LabTest> expected(4);
    expected[0] = {".\\vornevResult\\CU.txt", 1, 0.05 * 1000.0, 1.6, {}};
    const char* cuRows[][4] = {{"0", "0.3", "0.3", "0"}, {"0.7", "0.3612", "0.3", "0.0231"}, {"2.9", "0.3851", "0.3", "0.0417"}};
    for (const auto& r : cuRows) {
        const double sa = num(r[1]) * 1000.0, sr = num(r[2]) * 1000.0, du = num(r[3]) * 1000.0;
        expected[0].rows.push_back({num(r[0]) / 100.0, sa - sr, (sa + 2.0 * sr) / 3.0 - (du + 0.2 * 1000.0), 0.0, du});
    }
    expected[1] = {".\\vornevResult\\CD.txt", 3, 50.0, 1.6, {}};
    const char* cdRows[][5] = {{"0", "100", "100", "0", "50"}, {"0.013", "183.7", "100", "0.61", "50.4"}, {"0.051", "241.3", "100", "1.73", "50.1"}};
    for (const auto& r : cdRows) {
        const double sa = num(r[1]), sr = num(r[2]);
        expected[1].rows.push_back({num(r[0]), sa - sr, (sa + 2.0 * sr) / 3.0, num(r[3]) / 98.17, num(r[4]) - 50.0});
    }
    expected[2] = {".\\vornevResult\\CP.txt", 2, 120.0, 1.412, {}};
    const char* cpRows[][4] = {{"0", "0", "120", "1.412"}, {"0.02", "61.9", "99.4", "1.398"}, {"0.06", "98.2", "87.3", "1.371"}};
    for (const auto& r : cpRows) {
        const double q = num(r[1]), sr = num(r[2]), e0 = 1.412;
        expected[2].rows.push_back({num(r[0]), q, sr + q / 3.0, (e0 - num(r[3])) / (1.0 + e0), 0.0});
    }
    expected[3] = {".\\vornevResult\\CU2.txt", 1, 50.0, 1.6, {}};
    const char* cu2Rows[][4] = {{"0", "500", "500", "300"}, {"0.004", "541.7", "500", "311.2"}, {"0.012", "566.1", "500", "327.9"}};
    for (const auto& r : cu2Rows) {
        const double sa = num(r[1]), sr = num(r[2]), u = num(r[3]);
        expected[3].rows.push_back({num(r[0]), sa - sr, (sa + 2.0 * sr) / 3.0 - u, 0.0, u - 300.0});
    }
    expectSameTests(imported.tests, expected, "derivations");
    expectSameTests(imported.working, expected, "working list");
    EXPECT_NE(imported.report.find("- p' = (axial stress + 2 radial stress)/3 - (excess pore pressure + back pressure 200 kPa, from [[test]] 'CU')\n"),
              std::string::npos)
        << imported.report;
    EXPECT_NE(imported.report.find("- ev = (e0 - e)/(1 + e0), e0 = 1.412 (the first row's void ratio)\n"), std::string::npos);
    EXPECT_NE(imported.report.find("- u = pore pressure - back pressure 300 kPa (from the first row's pore pressure)\n"),
              std::string::npos);

    // Written and read back by the host's rules, the set evaluates to the bits of the tests built in memory.
    const fs::path out = dir.path() / "set";
    writeImport(out, imported);
    Evaluator fromFiles(out);
    Evaluator inMemory(expected);
    const ModelParameters p{1.2, 0.3, 0.02, 0.12, 2.3, 0.0, 2.2, 0.2, 1.0};
    const double a = fromFiles.evaluate(p, {true, false, false});
    const double b = inMemory.evaluate(p, {true, false, false});
    EXPECT_TRUE(std::isfinite(a)) << a;
    EXPECT_TRUE(sameDouble(a, b)) << a << " against " << b;
    const auto da = fromFiles.diagnostics().hostOrder(), db = inMemory.diagnostics().hostOrder();
    for (std::size_t i = 0; i < da.size(); ++i) EXPECT_TRUE(sameDouble(da[i], db[i])) << i;
}

// One table in five spellings gives the same tests; blank cells mean "not measured".
TEST(Import, ReaderFormatsGiveTheSameTestsAndBlankCellsAreNotMeasured) {
    TempDir dir;
    const std::vector<std::vector<std::string>> table = {
        {"Test", "Strain", "Q", "P", "Ev", "U"},
        {"T1", "0", "0", "100", "0", ""},
        {"T1", "0.01", "40.5", "113.3", "0.002", ""},
        {"T1", "0.015", "", "115", "0.003", ""},
        {"T1", "0.02", "55.25", "", "0.004", ""},
        {"T1", "0.03", "61.125", "121.5", "0.0045", ""},
        {"T2", "0", "0", "200", "", ""},
        {"T2", "0.01", "80.5", "226.8", "", ""},
        {"T2", "0.03", "120", "240", "", ""},
    };
    const auto render = [&](char sep, bool comma, const std::string& end, bool quote) {
        std::string text;
        for (const auto& row : table) {
            for (std::size_t c = 0; c < row.size(); ++c) {
                std::string cell = row[c];
                if (comma) std::replace(cell.begin(), cell.end(), '.', ',');
                if (quote && c % 2 == 1) cell = "\"" + cell + "\"";
                text += (c ? std::string(1, sep) : std::string()) + cell;
            }
            text += end;
        }
        return text;
    };
    const std::string plain = render(',', false, "\n", false);
    put(dir.path() / "plain.csv", plain);
    put(dir.path() / "excel.csv", "\xEF\xBB\xBF" + render(';', true, "\r\n", false));
    put(dir.path() / "quoted.tsv", "# logger export\n\n" + render('\t', false, "\r", true));
    // RFC 4180: separators, quotes and a line end inside quoted cells.
    std::string rfc = plain;
    rfc.replace(0, plain.find('\n'), "Test,Strain,\"Q\",P,Ev,\"U, \"\"excess\"\"\n(kPa)\"");
    put(dir.path() / "rfc.csv", rfc);
    // Sectioned: a programme table, then the data under a title line.
    put(dir.path() / "sections.csv", "[Programme]\nTest,Type,p0\nT1,drained,50\nT2,3,50\n\n# Data\n" + plain);

    const auto importOne = [&](const std::string& file, const std::string& uHeader, const std::string& section) {
        ImportConfig config;
        config.baseFolder = dir.path();
        DataSource d = source(file);
        d.table.testId = col("Test");
        d.table.section = section;
        d.columns[static_cast<int>(Measured::axialStrain)] = col("Strain");
        d.columns[static_cast<int>(Measured::deviatorStress)] = col("Q");
        d.columns[static_cast<int>(Measured::meanStress)] = col("P");
        d.columns[static_cast<int>(Measured::volumetricStrain)] = col("Ev");
        d.columns[static_cast<int>(Measured::excessPorePressure)] = col(uHeader.c_str());
        config.data.push_back(d);
        config.defaults.eInitial = 1.5;
        if (section.empty()) {
            config.defaults.type = 3;
            config.defaults.pInitial = 50.0;
        } else {
            ProgrammeSource ps;
            ps.table.files = {file};
            ps.table.section = "[Programme]";
            ps.table.testId = col("Test");
            ps.type = col("Type");
            ps.pInitial = col("p0");
            config.programme = ps;
        }
        return importTests(config);
    };
    const ImportResult reference = importOne("plain.csv", "U", "");
    ASSERT_EQ(reference.tests.size(), 2u);
    // T1: the row without q (scored) is dropped; the row without p (not scored on drained tests) keeps a 0.
    const std::vector<MeasuredRow> t1 = {{0, 0, 100, 0, 0}, {0.01, 40.5, 113.3, 0.002, 0}, {0.02, 55.25, 0, 0.004, 0},
                                         {0.03, 61.125, 121.5, 0.0045, 0}};
    expectSameTests({reference.tests[0]}, {LabTest{".\\vornevResult\\T1.txt", 3, 50, 1.5, t1}}, "T1");
    ASSERT_EQ(reference.warnings.size(), 2u);
    EXPECT_EQ(reference.warnings[0],
              (dir.path() / "plain.csv").string() +
                  ":4: test 'T1': 1 row without q dropped (the first on this line: column 3 ('Q') is blank); type 3 "
                  "(drained) tests are scored on it");
    EXPECT_EQ(reference.warnings[1], (dir.path() / "plain.csv").string() +
                                         ": test 'T2': no row gives volumetric strain: written as 0, so the test is not "
                                         "scored on it");
    EXPECT_NE(reference.report.find("- not measured: u (written as 0)\n- p' is blank in 1 row (the first at line 5): "
                                    "written as 0 there (not scored)\n"),
              std::string::npos)
        << reference.report;
    EXPECT_NE(reference.report.find("- not measured: ev (written as 0, so its scale is 0 and the test is not scored on "
                                    "it) and u (written as 0)\n"),
              std::string::npos);
    EXPECT_NE(reference.report.find("separator ',' (detected), decimal point (detected)"), std::string::npos);
    EXPECT_EQ(buildTestStore(reference.tests).evScale[1], 0.0);

    expectSameTests(importOne("excel.csv", "U", "").tests, reference.tests, "';', decimal comma, BOM, CR LF");
    expectSameTests(importOne("quoted.tsv", "U", "").tests, reference.tests, "tab, quoted cells, CR, comments");
    expectSameTests(importOne("rfc.csv", "U, \"excess\" (kPa)", "").tests, reference.tests, "RFC 4180 quoting");
    expectSameTests(importOne("sections.csv", "U", "Data").tests, reference.tests, "sections and programme");
    EXPECT_NE(importOne("excel.csv", "U", "").report.find("separator ';' (detected), decimal comma (detected)"),
              std::string::npos);
}

TEST(Import, ThinningKeepsFirstLastAndPeakAndSpreadsTheRestEvenlyInStrain) {
    std::vector<double> strain, q;
    for (int i = 0; i < 5000; ++i) {
        const double s = 0.2 * i * i / (4999.0 * 4999.0);  // logged evenly in time, not in strain
        strain.push_back(s);
        q.push_back(i == 777 ? 900.0 : 100.0 * s);
    }
    const std::vector<std::size_t> rows = thinnedRows(strain, q, 200);
    ASSERT_LE(rows.size(), 200u);
    EXPECT_GE(rows.size(), 195u);
    EXPECT_EQ(rows.front(), 0u);
    EXPECT_EQ(rows.back(), 4999u);
    EXPECT_TRUE(std::find(rows.begin(), rows.end(), 777u) != rows.end());
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
    double widest = 0.0;
    for (std::size_t k = 1; k < rows.size(); ++k) widest = std::max(widest, strain[rows[k]] - strain[rows[k - 1]]);
    EXPECT_LT(widest, 1.6 * 0.2 / 198.0);
    EXPECT_EQ(thinnedRows(strain, q, 0).size(), 5000u);
    EXPECT_EQ(thinnedRows({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 2, 9, 4, 5, 6, 7, 8, 0}, 6),
              (std::vector<std::size_t>{0, 2, 3, 4, 7, 9}));
}

TEST(Import, ChecksNameFileLineAndColumn) {
    TempDir dir;
    const std::string e = (dir.path() / "e.csv").string();
    struct Case {
        std::string text;
        std::string message;
        std::function<void(ImportConfig&)> tweak;
    };
    const auto base = [&] {
        ImportConfig c;
        c.baseFolder = dir.path();
        DataSource d = source("e.csv");
        d.columns[static_cast<int>(Measured::axialStrain)] = col("Strain");
        d.columns[static_cast<int>(Measured::deviatorStress)] = col("Q");
        d.columns[static_cast<int>(Measured::meanStress)] = col("P");
        c.data.push_back(d);
        c.defaults.type = 4;  // scored on p alone
        c.defaults.eInitial = 1.0;
        return c;
    };
    const std::string good = "Strain,Q,P\n0,0,100\n0.01,40.5,113.5\n";
    const std::vector<Case> errors = {
        {good, e + ":1: no column 'Strain (%)' for data.columns.axial_strain in the header row (its columns: 'Strain', 'Q', 'P')",
         [](ImportConfig& c) { c.data[0].columns[0] = col("Strain (%)"); }},
        {good, e + ":1: no column 7 for data.columns.mean_stress: the header row has 3 columns",
         [](ImportConfig& c) { c.data[0].columns[static_cast<int>(Measured::meanStress)] = {"", 7}; }},
        {good, e + ": no section line '[Data]'", [](ImportConfig& c) { c.data[0].table.section = "[Data]"; }},
        {good, e + ": no header row with a cell 'Time'", [](ImportConfig& c) { c.data[0].table.header = "Time"; }},
        {"Strain,Q,P\n0,0,100\n0.01,4O.5,113.5\n", e + ":3: column 2 ('Q'): expected a number, found '4O.5'", nullptr},
        {"Strain;Q;P\n0;0;100\n0.01;40,5;113.5\n",
         e + ":3: column 2 ('Q'): expected a number, found '40,5' (a decimal comma? give decimal = \",\")", nullptr},
        {"Strain,Q,P\n0,0,100\n", e + ": test 'e' (lines 2 to 2): 1 row (line 2) left to write; a test needs at least 2 rows",
         nullptr},
        {"Strain,Q,P\n0,0,100\n5,40.5,113.5\n",
         e + ":3: column 1 ('Strain'): strain 5 is above 1 with the strain unit \"plain\" (500 %?); give units.strain = \"%\" "
             "when the file gives percent",
         nullptr},
        {"Strain,Q,P\n0,0,100\n0.01,\"40.5,113.5\n", e + ":3: a quoted cell in the row that starts on this line is never closed",
         nullptr},
        {std::string("PK\x03\x04\x14\x00", 6),
         e + ": a spreadsheet workbook (XLSX or ODS), not text; save the sheet as CSV (xlsx2csv -n SHEET IN.xlsx OUT.csv, see "
             "docs/import.md)",
         nullptr},
        {"Strain,Q,P\n0,0,\n0.01,40.5,\n", e + ": test 'e' (lines 2 to 3): no row gives the mean effective stress p' (the first "
                                           "row's p' is the pressure at which the shear starts)",
         nullptr},
    };
    for (const Case& c : errors) {
        put(dir.path() / "e.csv", c.text);
        ImportConfig config = base();
        if (c.tweak) c.tweak(config);
        try {
            importTests(config);
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const ImportError& x) {
            EXPECT_EQ(x.what(), c.message);
        }
    }
    EXPECT_THROW(
        {
            ImportConfig config = base();
            config.data[0].columns[static_cast<int>(Measured::meanStress)] = {};
            checkImportConfig(config);
        },
        ImportError);

    // Warnings: strain that does not increase (and sorting on request), a first row past the start.
    put(dir.path() / "e.csv", "Strain,Q,P\n0.002,0,100\n0.02,55,118\n0.01,40.5,113.5\n0.03,61,120\n");
    ImportResult r = importTests(base());
    ASSERT_EQ(r.warnings.size(), 2u);
    EXPECT_EQ(r.warnings[0], e + ":4: column 1 ('Strain'): test 'e': the axial strain does not increase (0.01 after 0.02; 1 row "
                                 "below the row before); the rows are kept in file order; give sort = true to sort them by "
                                 "axial strain");
    EXPECT_EQ(r.warnings[1], e + ":2: column 1 ('Strain'): test 'e': the first row is at axial strain 0.002, not at the start "
                                 "of the shear (0); the model's shear starts at 0 from the first row's p'");
    EXPECT_EQ(r.tests[0].rows[2][0], 0.01);
    ImportConfig sorted = base();
    sorted.sortRows = true;
    r = importTests(sorted);
    EXPECT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.tests[0].rows[2][0], 0.02);
    EXPECT_NE(r.report.find("- rows sorted by axial strain (1 row below the row before)\n"), std::string::npos);
}

}  // namespace
}  // namespace calvenor
