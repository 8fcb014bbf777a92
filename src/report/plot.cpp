#include "report/plot.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <limits>
#include <set>
#include <span>
#include <sstream>

#include "io/files.hpp"
#include "io/numbers.hpp"
#include "testdata/test_types.hpp"

extern char** environ;

namespace calvenor {

std::vector<int> scoredColumns(std::int32_t testType) {
    std::vector<int> columns;
    if (const TestType* t = findTestType(testType)) {
        // Panels read q first, then the other quantity of the type.
        for (const Quantity q : {Quantity::q, Quantity::p, Quantity::ev, Quantity::u}) {
            if (t->scored[static_cast<int>(q)]) columns.push_back(quantityColumn[static_cast<int>(q)]);
        }
    }
    return columns;
}

std::string testDisplayName(const std::string& testFile) {
    std::string name = testFile;
    while (!name.empty() && name.back() == ' ') name.pop_back();
    std::replace(name.begin(), name.end(), '\\', '/');
    if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

std::optional<PlotGrouping> findPlotGrouping(std::string_view name) {
    for (const PlotGroupingName& g : plotGroupings) {
        if (g.name == name) return g.grouping;
    }
    return std::nullopt;
}

std::vector<PlotTest> plotTests(const TestStore& store, const ModelParameters& parameters) {
    std::vector<PlotTest> tests(static_cast<std::size_t>(store.nTests));
    for (int t = 0; t < store.nTests; ++t) {
        PlotTest& test = tests[static_cast<std::size_t>(t)];
        test.name = testDisplayName(store.testFile[static_cast<std::size_t>(t)]);
        test.type = store.testType[static_cast<std::size_t>(t)];
        test.pInitial = store.pInitial[static_cast<std::size_t>(t)];
        test.eInitial = store.eInitial[static_cast<std::size_t>(t)];
        for (int r = 0; r < store.rowCount[static_cast<std::size_t>(t)]; ++r) {
            std::array<double, columnCount> row;
            for (int c = 0; c < columnCount; ++c) row[static_cast<std::size_t>(c)] = store.measured(t, r, c);
            test.measured.push_back(row);
        }
        test.pConsol = test.measured.empty() ? 0.0 : test.measured.front()[pCol];
    }
    PathBuffers buffers;
    runDriver(parameters, store, buffers, [&](int t, double, double, const PathBuffers& b) {
        auto& curve = tests[static_cast<std::size_t>(t)].simulated;
        curve.clear();
        // The path runs a little beyond the largest measured strain; stop there.
        double last = 0.0;
        for (const auto& row : tests[static_cast<std::size_t>(t)].measured) {
            if (std::isfinite(row[strainCol])) last = std::max(last, row[strainCol]);
        }
        for (int i = 0; i < pathPoints; ++i) {
            const auto k = static_cast<std::size_t>(i);
            // A path that stopped early leaves the rest of the buffers stale.
            if (i > 0 && !(b.epsAxial[k] > b.epsAxial[k - 1])) break;
            if (i > 0 && b.epsAxial[k - 1] >= last) break;
            // The start point has no volumetric strain and no pore pressure yet.
            curve.push_back({b.epsAxial[k], b.qDev[k], b.pMean[k], i == 0 ? 0.0 : b.epsVol[k],
                             i == 0 ? 0.0 : b.poreU[k]});
        }
    });
    return tests;
}

namespace {

// Plain text (a name, a folder) for gnuplot's enhanced mode: its markup
// characters escaped.
std::string plain(const std::string& text) {
    std::string s;
    for (char ch : text) {
        if (std::strchr("^_@&~{}\\", ch) != nullptr) s += '\\';
        s += ch;
    }
    return s;
}

// Enhanced text as a single-quoted gnuplot string.
std::string gpText(const std::string& enhanced) {
    std::string s = "'";
    for (char ch : enhanced) {
        if (ch == '\'') s += "''";
        else s += ch;
    }
    return s + "'";
}

// Enhanced text of several lines (split at '\n') as a gnuplot string expression.
std::string gpLines(const std::string& enhanced) {
    std::string s;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = enhanced.find('\n', start);
        s += gpText(enhanced.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return s;
        s += " . \"\\n\" . ";
        start = end + 1;
    }
}

// A file name as a single-quoted gnuplot string (no enhanced processing).
std::string gpPath(const std::filesystem::path& path) {
    std::string s = "'";
    for (char ch : path.string()) {
        if (ch == '\'') s += "''";
        else s += ch;
    }
    return s + "'";
}

std::string number(double v) { return std::isfinite(v) ? shortest(v) : "NaN"; }

const char* const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                               "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"};

std::string typeTitle(std::int32_t type) {
    if (const TestType* t = findTestType(type)) return std::string(t->title) + " (type " + std::to_string(type) + ")";
    return "Type " + std::to_string(type);
}

std::string quantityTitle(int column) {
    switch (column) {
    case qCol: return "deviator stress";
    case pCol: return "mean effective stress";
    case evCol: return "volumetric strain";
    default: return "pore pressure";
    }
}

std::string quantityAxis(int column) {
    switch (column) {
    case qCol: return "deviator stress q (kPa)";
    case pCol: return "mean effective stress p' (kPa)";
    case evCol: return "volumetric strain ε_v (%)";
    default: return "pore pressure u (kPa)";
    }
}

std::string quantityShort(int column) {
    switch (column) {
    case qCol: return "q (kPa)";
    case pCol: return "p' (kPa)";
    case evCol: return "ε_v (%)";
    default: return "u (kPa)";
    }
}

// Column of the data files for a quantity: 1 strain %, 2 q, 3 p, 4 ev %, 5 u.
int dataColumn(int column) { return column + 1; }

std::string measuredFile(std::size_t test) { return "test" + std::to_string(test + 1) + "-measured.dat"; }
std::string simulatedFile(std::size_t test) { return "test" + std::to_string(test + 1) + "-simulated.dat"; }

std::string testData(const std::vector<std::array<double, columnCount>>& rows, std::size_t stride) {
    std::string out = "# axial strain (%)  q (kPa)  p (kPa)  volumetric strain (%)  u (kPa)\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i % stride != 0 && i + 1 != rows.size()) continue;
        const auto& r = rows[i];
        out += number(r[strainCol] * 100.0) + ' ' + number(r[qCol]) + ' ' + number(r[pCol]) + ' ' +
               number(r[evCol] * 100.0) + ' ' + number(r[uCol]) + '\n';
    }
    return out;
}

// Tests drawn together: all of one type; `label` says what else they share.
struct Group {
    std::int32_t type = 0;
    std::string label;  // enhanced text; empty when only the type is shared
    std::vector<std::size_t> tests;
};

// The groups of the page, by type code, then by the shared value; a group
// of more than page.maxOverlay tests falls apart into single tests.
std::vector<Group> groupTests(const PlotPage& page) {
    std::set<std::int32_t> types;
    for (const PlotTest& t : page.tests) {
        if (!scoredColumns(t.type).empty()) types.insert(t.type);
    }
    const auto shared = [&](const PlotTest& t) {
        switch (page.grouping) {
        case PlotGrouping::pConsol: return "p'_c " + rounded(t.pConsol) + " kPa";
        case PlotGrouping::pInitial: return "p_0 " + rounded(t.pInitial) + " kPa";
        case PlotGrouping::eInitial: return "e_0 " + rounded(t.eInitial);
        default: return std::string();
        }
    };
    const auto value = [&](const PlotTest& t) {
        switch (page.grouping) {
        case PlotGrouping::pConsol: return std::strtod(rounded(t.pConsol).c_str(), nullptr);
        case PlotGrouping::pInitial: return std::strtod(rounded(t.pInitial).c_str(), nullptr);
        case PlotGrouping::eInitial: return std::strtod(rounded(t.eInitial).c_str(), nullptr);
        default: return 0.0;
        }
    };
    std::vector<Group> groups;
    for (const std::int32_t type : types) {
        std::vector<Group> ofType;
        for (std::size_t i = 0; i < page.tests.size(); ++i) {
            const PlotTest& t = page.tests[i];
            if (t.type != type) continue;
            const std::string label = shared(t);
            auto g = std::find_if(ofType.begin(), ofType.end(), [&](const Group& x) { return x.label == label; });
            if (page.grouping == PlotGrouping::none || g == ofType.end()) {
                ofType.push_back({type, label, {}});
                g = ofType.end() - 1;
            }
            g->tests.push_back(i);
        }
        // Ascending shared values; values that are not numbers last.
        std::stable_sort(ofType.begin(), ofType.end(), [&](const Group& a, const Group& b) {
            const double va = value(page.tests[a.tests.front()]), vb = value(page.tests[b.tests.front()]);
            if (std::isnan(va)) return false;
            if (std::isnan(vb)) return true;
            return va < vb;
        });
        for (Group& g : ofType) {
            if (g.tests.size() <= std::max<std::size_t>(1, page.maxOverlay)) {
                groups.push_back(std::move(g));
                continue;
            }
            for (const std::size_t t : g.tests) groups.push_back({type, g.label, {t}});
        }
    }
    return groups;
}

// Page geometry, in pixels.
constexpr int pageWidth = 1500;
constexpr int titleBand = 80;
constexpr int largeWidth = pageWidth / 2, largeHeight = 470;
constexpr int smallWidth = pageWidth / 4, smallHeight = 440;
constexpr int maxRowsPerPage = 5;
constexpr std::size_t maxLargeDataPanels = 8;

struct Cell {
    enum Kind { quantity, convergence, summary, block } kind;
    std::size_t group = 0;  // quantity, block
    int column = 0;         // quantity
    int x = 0, y = 0, w = 0, h = 0;
};

struct Sheet {
    int height = titleBand;
    int rows = 0;
    std::vector<Cell> cells;
};

// Large panels first (two to a row: the groups' quantities, then the
// convergence and the summary), then the small blocks of single tests (four
// to a row); a sheet takes at most maxRowsPerPage rows. When that would put
// the convergence or the summary beyond the first page, they come first.
std::vector<Sheet> layOut(const PlotPage& page, const std::vector<Group>& groups) {
    std::size_t dataPanels = 0;
    for (const Group& g : groups) dataPanels += scoredColumns(g.type).size();
    const bool allLarge = page.grouping != PlotGrouping::none && dataPanels <= maxLargeDataPanels;
    std::vector<Cell> curves, blocks;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (allLarge || groups[g].tests.size() > 1) {
            for (int column : scoredColumns(groups[g].type)) curves.push_back({Cell::quantity, g, column});
        } else {
            blocks.push_back({Cell::block, g, 0});
        }
    }

    const auto arrange = [&](bool overviewFirst) {
        std::vector<Cell> large, small = blocks;
        std::vector<Cell> overview;
        if (!page.convergence.empty()) overview.push_back({Cell::convergence});
        if (!page.summary.empty()) overview.push_back({Cell::summary});
        large = curves;
        if (!overviewFirst) {
            const bool oddRow = large.size() % 2 != 0;
            if (page.convergence.empty() && !page.summary.empty() && !oddRow && !small.empty()) {
                // Rather than a row of its own, the first small cell.
                small.insert(small.begin(), Cell{Cell::summary});
            } else if (oddRow && overview.size() == 2) {
                // The summary fills the free half of the last row of curves.
                large.push_back(overview[1]);
                large.push_back(overview[0]);
            } else {
                large.insert(large.end(), overview.begin(), overview.end());
            }
        }
        std::vector<Sheet> sheets(1);
        const auto addRow = [&](std::span<const Cell> cells, int width, int height) {
            if (sheets.back().rows == maxRowsPerPage) sheets.emplace_back();
            Sheet& s = sheets.back();
            for (std::size_t i = 0; i < cells.size(); ++i) {
                Cell c = cells[i];
                c.x = static_cast<int>(i) * width;
                c.y = s.height;
                c.w = width;
                c.h = height;
                s.cells.push_back(c);
            }
            s.height += height;
            ++s.rows;
        };
        const auto addRows = [&](const std::vector<Cell>& cells, std::size_t perRow, int width, int height) {
            for (std::size_t i = 0; i < cells.size(); i += perRow) {
                addRow(std::span(cells).subspan(i, std::min(perRow, cells.size() - i)), width, height);
            }
        };
        // First, a row of their own, so that the rows of curves keep their pairs.
        if (overviewFirst) addRows(overview, 2, largeWidth, largeHeight);
        addRows(large, 2, largeWidth, largeHeight);
        addRows(small, 4, smallWidth, smallHeight);
        if (sheets.back().cells.empty()) sheets.pop_back();
        for (Sheet& s : sheets) s.height += 10;
        return sheets;
    };
    std::vector<Sheet> sheets = arrange(false);
    for (std::size_t k = 1; k < sheets.size(); ++k) {
        for (const Cell& c : sheets[k].cells) {
            if (c.kind == Cell::convergence || c.kind == Cell::summary) return arrange(true);
        }
    }
    return sheets;
}

// The plot area of a panel, in pixels from the page's top left corner.
struct Frame {
    int left, right, top, bottom;
};

std::string screen(double fraction) { return rounded(fraction, 6); }

// The panel's cell as gnuplot's bounding box (where the axis labels go) and
// its plot area.
std::string margins(const Cell& cell, const Frame& f, int pageHeight) {
    return "set origin " + screen(double(cell.x) / pageWidth) + ", " + screen(1.0 - double(cell.y + cell.h) / pageHeight) +
           "\nset size " + screen(double(cell.w) / pageWidth) + ", " + screen(double(cell.h) / pageHeight) +
           "\nset lmargin at screen " + screen(double(f.left) / pageWidth) + "\nset rmargin at screen " +
           screen(double(f.right) / pageWidth) + "\nset tmargin at screen " +
           screen(1.0 - double(f.top) / pageHeight) + "\nset bmargin at screen " +
           screen(1.0 - double(f.bottom) / pageHeight) + "\n";
}

// A tick step of 1, 2 or 5 times a power of ten that cuts the values of
// `column` (as the data files hold them) into about `count` intervals; 0 when
// there is no range.
double tickStep(const PlotTest& test, int column, int count) {
    const double scale = column == evCol || column == strainCol ? 100.0 : 1.0;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const auto* rows : {&test.measured, &test.simulated}) {
        for (const auto& r : *rows) {
            const double v = r[static_cast<std::size_t>(column)] * scale;
            if (!std::isfinite(v)) continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    const double raw = (hi - lo) / count;
    if (!(raw > 0.0) || !std::isfinite(raw)) return 0.0;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (raw <= m * magnitude * (1.0 + 1e-9)) return m * magnitude;
    }
    return 10.0 * magnitude;
}

const char* const panelDefaults =
    "reset\n"
    "set grid lc rgb '#dddddd'\n"
    "set border 3 lw 1.2\n"
    "set tics nomirror out\n";

void plotItems(std::ostringstream& gp, const std::vector<std::string>& items) {
    gp << "plot ";
    for (std::size_t i = 0; i < items.size(); ++i) gp << (i ? ", \\\n     " : "") << items[i];
    gp << "\n";
}

// A large panel: one quantity of the tests of a group, the key to its right.
void quantityPanel(std::ostringstream& gp, const PlotPage& page, const Group& group, const Cell& cell,
                   int pageHeight, const std::filesystem::path& dataDir) {
    std::vector<std::string> labels;
    std::size_t widest = 0;
    for (const std::size_t t : group.tests) {
        const PlotTest& test = page.tests[t];
        const std::string shown = test.name + " (p'c " + rounded(test.pConsol) + " kPa)" +
                                  (test.simulated.empty() ? ", no simulation" : "");
        widest = std::max(widest, shown.size());
        labels.push_back(plain(test.name) + " (p'_c " + rounded(test.pConsol) + " kPa)" +
                         (test.simulated.empty() ? ", no simulation" : ""));
    }
    const int keyWidth = std::clamp(static_cast<int>(widest) * 8 + 60, 150, 340);
    const Frame f{cell.x + 85, cell.x + cell.w - 15 - keyWidth, cell.y + 45, cell.y + cell.h - 60};
    gp << panelDefaults << margins(cell, f, pageHeight);
    std::string title = typeTitle(group.type);
    if (!group.label.empty()) title += ", " + group.label;
    gp << "set title " << gpText(title + ": " + quantityTitle(cell.column)) << " font ',12'\n"
       << "set xlabel " << gpText("axial strain ε_a (%)") << "\n"
       << "set ylabel " << gpText(quantityAxis(cell.column)) << "\n"
       << "set xrange [0:*]\nset autoscale xfixmax\n"
       << "set key at screen " << screen(double(f.right + 12) / pageWidth) << ", "
       << screen(1.0 - double(f.top) / pageHeight) << " left top Left reverse samplen 2 spacing 1.1 nobox\n";
    std::vector<std::string> items;
    const std::string col = std::to_string(dataColumn(cell.column));
    for (std::size_t k = 0; k < group.tests.size(); ++k) {
        const std::size_t t = group.tests[k];
        const std::string colour = palette[k % (sizeof palette / sizeof palette[0])];
        items.push_back(gpPath(dataDir / measuredFile(t)) + " using 1:" + col + " with points pt 7 ps 0.9 lc rgb '" +
                        colour + "' notitle");
        if (!page.tests[t].simulated.empty()) {
            items.push_back(gpPath(dataDir / simulatedFile(t)) + " using 1:" + col + " with lines lw 2 lc rgb '" +
                            colour + "' title " + gpText(labels[k]));
        } else {
            items.push_back("NaN with points pt 7 lc rgb '" + colour + "' title " + gpText(labels[k]));
        }
    }
    plotItems(gp, items);
}

// A small block: one test, a panel per scored quantity stacked over one
// strain axis; measured points and the simulated line, no key.
void testBlock(std::ostringstream& gp, const PlotPage& page, const Group& group, const Cell& cell, int pageHeight,
               const std::filesystem::path& dataDir, bool severalTypes) {
    const std::size_t t = group.tests.front();
    const PlotTest& test = page.tests[t];
    std::string title = plain(test.name);
    if (severalTypes) {
        const TestType* type = findTestType(test.type);
        title += " (" + std::string(type ? type->name : "type " + std::to_string(test.type)) + ")";
    }
    title += ", p'_c " + rounded(test.pConsol) + " kPa";
    if (test.simulated.empty()) title += ", no simulation";
    const std::vector<int> columns = scoredColumns(test.type);
    const int n = static_cast<int>(columns.size());
    const int top = cell.y + 48, bottom = cell.y + cell.h - 46, gap = 16;
    const int height = (bottom - top - gap * (n - 1)) / n;
    for (int k = 0; k < n; ++k) {
        const Frame f{cell.x + 66, cell.x + cell.w - 16, top + k * (height + gap), top + k * (height + gap) + height};
        gp << panelDefaults << margins(cell, f, pageHeight) << "set tics font ',9'\nunset key\n"
           << "set xrange [0:*]\nset autoscale xfixmax\n"
           << "set label " << gpText(quantityShort(columns[static_cast<std::size_t>(k)])) << " at screen "
           << screen(double(cell.x + 14) / pageWidth) << ", " << screen(1.0 - (f.top + f.bottom) / 2.0 / pageHeight)
           << " center rotate by 90 font ',10'\n";
        if (const double step = tickStep(test, columns[static_cast<std::size_t>(k)], 4); step > 0.0) {
            gp << "set ytics " << rounded(step, 6) << "\n";
        }
        if (k == 0) gp << "set title " << gpText(title) << " font ',10'\n";
        if (k + 1 < n) gp << "set format x ''\n";
        else gp << "set xlabel " << gpText("ε_a (%)") << " font ',10' offset 0,0.6\n";
        const std::string col = std::to_string(dataColumn(columns[static_cast<std::size_t>(k)]));
        std::vector<std::string> items = {gpPath(dataDir / measuredFile(t)) + " using 1:" + col +
                                          " with points pt 7 ps 0.6 lc rgb '#1f77b4' notitle"};
        if (!test.simulated.empty()) {
            items.push_back(gpPath(dataDir / simulatedFile(t)) + " using 1:" + col +
                            " with lines lw 1.5 lc rgb '#d62728' notitle");
        }
        plotItems(gp, items);
    }
}

void convergencePanel(std::ostringstream& gp, const PlotPage& page, const Cell& cell, int pageHeight,
                      const std::filesystem::path& dataDir, bool positive) {
    const Frame f{cell.x + 85, cell.x + cell.w - 30, cell.y + 45, cell.y + cell.h - 60};
    gp << panelDefaults << margins(cell, f, pageHeight)
       << "set title 'Convergence of the best error value' font ',12'\n"
          "set xlabel 'evaluations'\n"
          "set ylabel 'best error value'\n"
          "unset key\n";
    if (positive) gp << "set logscale y\nset format y '10^{%L}'\n";
    // Where each later phase starts.
    for (std::size_t i = 1; i < page.convergence.size(); ++i) {
        if (page.convergence[i].phase != page.convergence[i - 1].phase) {
            const auto x = page.convergence[i - 1].evaluations;
            gp << "set arrow from " << x << ", graph 0 to " << x << ", graph 1 nohead dt 2 lc rgb '#888888'\n"
               << "set label " << gpText(plain(page.convergence[i].phase)) << " at " << x
               << ", graph 0.95 offset 0.5,0 tc rgb '#555555'\n";
        }
    }
    gp << "plot " << gpPath(dataDir / "convergence.dat") << " using 1:2 with steps lw 2 lc rgb '#1f77b4' notitle\n";
}

void summaryPanel(std::ostringstream& gp, const PlotPage& page, const Cell& cell, int pageHeight) {
    const Frame f{cell.x + 30, cell.x + cell.w - 20, cell.y + 45, cell.y + cell.h - 20};
    gp << panelDefaults << margins(cell, f, pageHeight)
       << "unset border\nunset tics\nunset grid\nunset key\nset xrange [0:1]\nset yrange [0:1]\n"
          "set title "
       << gpText(plain(page.summaryTitle)) << " font ',12'\n";
    const double dy = page.summary.size() > 1 ? std::min(0.075, 0.95 / page.summary.size()) : 0.075;
    for (std::size_t i = 0; i < page.summary.size(); ++i) {
        gp << "set label " << (i + 1) << " " << gpText(plain(page.summary[i])) << " at graph 0.02, graph "
           << shortest(0.95 - dy * static_cast<double>(i)) << " font 'DejaVu Sans Mono,10'\n";
    }
    gp << "plot NaN notitle\n";
}

std::string sheetBody(const PlotPage& page, const std::vector<Group>& groups, const Sheet& sheet,
                      const std::string& title, const std::filesystem::path& dataDir, bool positiveConvergence) {
    std::set<std::int32_t> types;
    for (const Group& g : groups) types.insert(g.type);
    std::ostringstream gp;
    gp << "set multiplot title " << gpLines(title) << " font ',15'\n";
    for (const Cell& cell : sheet.cells) {
        switch (cell.kind) {
        case Cell::quantity: quantityPanel(gp, page, groups[cell.group], cell, sheet.height, dataDir); break;
        case Cell::block: testBlock(gp, page, groups[cell.group], cell, sheet.height, dataDir, types.size() > 1); break;
        case Cell::convergence: convergencePanel(gp, page, cell, sheet.height, dataDir, positiveConvergence); break;
        case Cell::summary: summaryPanel(gp, page, cell, sheet.height); break;
        }
    }
    gp << "unset multiplot\n";
    return gp.str();
}

std::string readHead(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string text, line;
    for (int i = 0; i < 5 && std::getline(in, line); ++i) text += (i ? " | " : "") + line;
    return text;
}

// Runs gnuplot on the script; returns an empty string or what went wrong.
// gnuplot runs in the script's folder.
std::string runGnuplot(const std::filesystem::path& script, const std::filesystem::path& log) {
    const char* program = std::getenv("CALVENOR_GNUPLOT");
    const std::string gnuplot = program && *program ? program : "gnuplot";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string logName = log.string();
    posix_spawn_file_actions_addopen(&actions, 1, logName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::filesystem::path folder = script.has_parent_path() ? script.parent_path() : ".";
    std::string cd = "cd " + gpPath(folder);
    std::string e = "-e";
    const std::string scriptName = script.filename().string();
    std::vector<char*> argv = {const_cast<char*>(gnuplot.c_str()), e.data(), cd.data(),
                               const_cast<char*>(scriptName.c_str()), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, gnuplot.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return "cannot run " + gnuplot + ": " + std::strerror(rc);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return "lost track of " + gnuplot + ": " + std::strerror(errno);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return "cannot run " + gnuplot + " (not found)";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return gnuplot + " failed on " + script.string() + ": " + readHead(log);
    }
    return {};
}

}  // namespace

PlotOutcome drawPlotPage(const PlotPage& page, const std::filesystem::path& folder, const std::string& stem) {
    PlotOutcome outcome;
    const std::filesystem::path dataDir = folder / (stem + "-data");
    try {
        createFolder(dataDir);
    } catch (const FileError& e) {
        outcome.warnings.push_back(e.what());
        return outcome;
    }

    const std::vector<Group> groups = groupTests(page);
    if (groups.empty() && page.convergence.empty() && page.summary.empty()) {
        outcome.warnings.push_back("no test of types 1 to 5 to plot");
        return outcome;
    }
    const std::vector<Sheet> sheets = layOut(page, groups);
    bool positiveConvergence = false;
    for (const auto& c : page.convergence) positiveConvergence |= std::isfinite(c.best) && c.best > 0.0;

    try {
        for (std::size_t t = 0; t < page.tests.size(); ++t) {
            const PlotTest& test = page.tests[t];
            writeFile(dataDir / measuredFile(t), testData(test.measured, 1));
            const std::size_t stride = std::max<std::size_t>(1, test.simulated.size() / 500);
            writeFile(dataDir / simulatedFile(t), testData(test.simulated, stride));
        }
        std::string conv = "# evaluations  best error value  phase\n";
        for (const auto& c : page.convergence) {
            const bool drawable = std::isfinite(c.best) && (!positiveConvergence || c.best > 0.0);
            conv += std::to_string(c.evaluations) + ' ' + (drawable ? number(c.best) : "NaN") + ' ' + c.phase + '\n';
        }
        writeFile(dataDir / "convergence.dat", conv);
    } catch (const FileError& e) {
        outcome.warnings.push_back(e.what());
        return outcome;
    }

    // Page k is STEM.png for k = 1, else STEM-k.png.
    const auto pageFile = [&](std::size_t k, const char* extension) {
        return folder / (stem + (k == 1 ? std::string() : "-" + std::to_string(k)) + extension);
    };
    // The script names its files relative to its own folder, where gnuplot runs.
    std::vector<std::string> bodies;
    for (std::size_t k = 0; k < sheets.size(); ++k) {
        std::string title = plain(page.title);
        if (sheets.size() > 1) {
            const std::string number = "  (page " + std::to_string(k + 1) + " of " + std::to_string(sheets.size()) + ")";
            title.insert(std::min(title.find('\n'), title.size()), number);
        }
        bodies.push_back(sheetBody(page, groups, sheets[k], title, stem + "-data", positiveConvergence));
    }
    std::ostringstream gp;
    gp << "# Drawn by calvenor; to redraw, run `gnuplot " << stem << ".gp` in this folder.\n"
       << "set encoding utf8\n"
       << "png = strstrt(GPVAL_TERMINALS, 'pngcairo') > 0 ? 'pngcairo' : 'png'\n";
    for (const char* terminal : {"@png", "svg"}) {
        for (std::size_t k = 0; k < sheets.size(); ++k) {
            gp << "set terminal " << terminal << " size " << pageWidth << "," << sheets[k].height
               << " enhanced font 'DejaVu Sans,11' background rgb 'white'\n"
               << "set output " << gpPath(pageFile(k + 1, terminal[0] == '@' ? ".png" : ".svg").filename()) << "\n"
               << bodies[k] << "set output\n";
        }
    }
    const std::filesystem::path script = folder / (stem + ".gp");
    try {
        writeFile(script, gp.str());
    } catch (const FileError& e) {
        outcome.warnings.push_back(e.what());
        return outcome;
    }
    // Pages of an earlier, longer drawing would pass for part of this one.
    std::error_code ec;
    for (std::size_t k = sheets.size() + 1;; ++k) {
        bool any = false;
        for (const char* extension : {".png", ".svg"}) any |= std::filesystem::remove(pageFile(k, extension), ec);
        if (!any) break;
    }
    const std::filesystem::path log = dataDir / "gnuplot.log";
    if (const std::string failure = runGnuplot(script, log); !failure.empty()) {
        outcome.warnings.push_back("plot not drawn: " + failure + " (data and script kept in " + folder.string() + ")");
        return outcome;
    }
    if (std::filesystem::file_size(log, ec) == 0) std::filesystem::remove(log, ec);
    for (std::size_t k = 1; k <= sheets.size(); ++k) {
        for (const char* extension : {".png", ".svg"}) {
            const std::filesystem::path file = pageFile(k, extension);
            if (std::filesystem::exists(file)) outcome.files.push_back(file);
            else outcome.warnings.push_back("gnuplot did not write " + file.string());
        }
    }
    return outcome;
}

std::string gnuplotText(const std::string& plainText) { return gpText(plain(plainText)); }
std::string gnuplotPath(const std::filesystem::path& path) { return gpPath(path); }
std::string runGnuplotScript(const std::filesystem::path& script, const std::filesystem::path& log) {
    return runGnuplot(script, log);
}

}  // namespace calvenor
