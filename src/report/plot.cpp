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
#include <limits>
#include <set>
#include <sstream>

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

std::vector<PlotTest> plotTests(const TestStore& store, const ModelParameters& parameters) {
    std::vector<PlotTest> tests(static_cast<std::size_t>(store.nTests));
    for (int t = 0; t < store.nTests; ++t) {
        PlotTest& test = tests[static_cast<std::size_t>(t)];
        test.name = testDisplayName(store.testFile[static_cast<std::size_t>(t)]);
        test.type = store.testType[static_cast<std::size_t>(t)];
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

// Column of the data files for a quantity: 1 strain %, 2 q, 3 p, 4 ev %, 5 u.
int dataColumn(int column) { return column + 1; }

void writeTestData(const std::filesystem::path& file, const std::vector<std::array<double, columnCount>>& rows,
                   std::size_t stride) {
    std::ofstream out(file, std::ios::binary);
    out << "# axial strain (%)  q (kPa)  p (kPa)  volumetric strain (%)  u (kPa)\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i % stride != 0 && i + 1 != rows.size()) continue;
        const auto& r = rows[i];
        out << number(r[strainCol] * 100.0) << ' ' << number(r[qCol]) << ' ' << number(r[pCol]) << ' '
            << number(r[evCol] * 100.0) << ' ' << number(r[uCol]) << '\n';
    }
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

// The key goes in a right-hand corner the curves leave free: at the top when
// they end in the lower half of the panel (softening, dilation), else at the
// bottom.
std::string keyCorner(const std::vector<PlotTest>& tests, std::int32_t type, int column) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo, endSum = 0.0;
    int ends = 0;
    for (const PlotTest& t : tests) {
        if (t.type != type) continue;
        for (const auto* rows : {&t.measured, &t.simulated}) {
            for (const auto& r : *rows) {
                const double v = r[static_cast<std::size_t>(column)];
                if (!std::isfinite(v)) continue;
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
        if (!t.measured.empty() && std::isfinite(t.measured.back()[static_cast<std::size_t>(column)])) {
            endSum += t.measured.back()[static_cast<std::size_t>(column)];
            ++ends;
        }
    }
    if (ends == 0 || !(hi > lo)) return "bottom";
    return endSum / ends < 0.5 * (lo + hi) ? "top" : "bottom";
}

struct Panel {
    enum Kind { quantity, convergence, summary } kind;
    std::int32_t type = 0;
    int column = 0;
};

std::string buildBody(const PlotPage& page, const std::vector<Panel>& panels, int rows,
                      const std::filesystem::path& dataDir, bool positiveConvergence) {
    std::ostringstream gp;
    gp << "set multiplot layout " << rows << ",2 title " << gpText(plain(page.title)) << " font ',15'\n";
    for (const Panel& panel : panels) {
        gp << "reset\n"
              "set grid lc rgb '#dddddd'\n"
              "set border lw 1.2\n"
              "set tics nomirror out\n"
              "set border 3\n"
              "set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque\n";
        if (panel.kind == Panel::quantity) {
            gp << "set title " << gpText(typeTitle(panel.type) + ": " + quantityTitle(panel.column))
               << " font ',12'\n";
            gp << "set xlabel " << gpText("axial strain ε_a (%)") << "\n";
            gp << "set ylabel " << gpText(quantityAxis(panel.column)) << "\n";
            gp << "set xrange [0:*]\nset autoscale xfixmax\n";
            gp << "set key " << keyCorner(page.tests, panel.type, panel.column) << "\n";
            std::vector<std::string> items;
            for (std::size_t t = 0; t < page.tests.size(); ++t) {
                const PlotTest& test = page.tests[t];
                if (test.type != panel.type) continue;
                const std::string colour = palette[t % (sizeof palette / sizeof palette[0])];
                const std::string col = std::to_string(dataColumn(panel.column));
                const std::string label = plain(test.name) + " (p'_c " + shortest(test.pConsol) + " kPa)";
                items.push_back(gpPath(dataDir / ("test" + std::to_string(t + 1) + "-measured.dat")) +
                                " using 1:" + col + " with points pt 7 ps 0.9 lc rgb '" + colour +
                                "' notitle");
                if (!test.simulated.empty()) {
                    items.push_back(gpPath(dataDir / ("test" + std::to_string(t + 1) + "-simulated.dat")) +
                                    " using 1:" + col + " with lines lw 2 lc rgb '" + colour + "' title " +
                                    gpText(label));
                } else {
                    items.push_back("NaN with points pt 7 lc rgb '" + colour + "' title " +
                                    gpText(label + ", no simulation"));
                }
            }
            gp << "plot ";
            for (std::size_t i = 0; i < items.size(); ++i) gp << (i ? ", \\\n     " : "") << items[i];
            gp << "\n";
        } else if (panel.kind == Panel::convergence) {
            gp << "set title 'Convergence of the best error value' font ',12'\n"
                  "set xlabel 'evaluations'\n"
                  "set ylabel 'best error value'\n"
                  "unset key\n";
            if (positiveConvergence) gp << "set logscale y\nset format y '10^{%L}'\n";
            // Where each later phase starts.
            for (std::size_t i = 1; i < page.convergence.size(); ++i) {
                if (page.convergence[i].phase != page.convergence[i - 1].phase) {
                    const auto x = page.convergence[i - 1].evaluations;
                    gp << "set arrow from " << x << ", graph 0 to " << x
                       << ", graph 1 nohead dt 2 lc rgb '#888888'\n"
                       << "set label " << gpText(plain(page.convergence[i].phase)) << " at " << x
                       << ", graph 0.95 offset 0.5,0 tc rgb '#555555'\n";
                }
            }
            gp << "plot " << gpPath(dataDir / "convergence.dat")
               << " using 1:2 with steps lw 2 lc rgb '#1f77b4' notitle\n";
        } else {
            gp << "unset border\nunset tics\nunset grid\nunset key\nset xrange [0:1]\nset yrange [0:1]\n"
                  "set title " << gpText(plain(page.summaryTitle)) << " font ',12'\n";
            const double dy = page.summary.size() > 1 ? std::min(0.075, 0.95 / page.summary.size()) : 0.075;
            for (std::size_t i = 0; i < page.summary.size(); ++i) {
                gp << "set label " << (i + 1) << " " << gpText(plain(page.summary[i])) << " at graph 0.02, graph "
                   << shortest(0.95 - dy * static_cast<double>(i)) << " font 'DejaVu Sans Mono,10'\n";
            }
            gp << "plot NaN notitle\n";
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
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (ec) {
        outcome.warnings.push_back("cannot create " + dataDir.string() + ": " + ec.message());
        return outcome;
    }

    // Panels: the scored quantities of each test type present, then the
    // convergence and the summary.
    std::set<std::int32_t> types;
    for (const PlotTest& t : page.tests) {
        if (!scoredColumns(t.type).empty()) types.insert(t.type);
    }
    std::vector<Panel> panels;
    for (std::int32_t type : types) {
        for (int column : scoredColumns(type)) panels.push_back({Panel::quantity, type, column});
    }
    bool positiveConvergence = false;
    if (!page.convergence.empty()) {
        if (panels.size() % 2 != 0) panels.push_back({Panel::summary, 0, 0});
        panels.push_back({Panel::convergence, 0, 0});
        for (const auto& c : page.convergence) positiveConvergence |= std::isfinite(c.best) && c.best > 0.0;
    }
    if (!page.summary.empty() && (panels.empty() || panels.back().kind != Panel::summary)) {
        panels.push_back({Panel::summary, 0, 0});
    }
    if (panels.empty()) {
        outcome.warnings.push_back("no test of types 1 to 5 to plot");
        return outcome;
    }
    const int rows = static_cast<int>((panels.size() + 1) / 2);

    try {
        for (std::size_t t = 0; t < page.tests.size(); ++t) {
            const PlotTest& test = page.tests[t];
            writeTestData(dataDir / ("test" + std::to_string(t + 1) + "-measured.dat"), test.measured, 1);
            const std::size_t stride = std::max<std::size_t>(1, test.simulated.size() / 500);
            writeTestData(dataDir / ("test" + std::to_string(t + 1) + "-simulated.dat"), test.simulated, stride);
        }
        std::ofstream conv(dataDir / "convergence.dat", std::ios::binary);
        conv << "# evaluations  best error value  phase\n";
        for (const auto& c : page.convergence) {
            const bool drawable = std::isfinite(c.best) && (!positiveConvergence || c.best > 0.0);
            conv << c.evaluations << ' ' << (drawable ? number(c.best) : "NaN") << ' ' << c.phase << '\n';
        }
        if (!conv) throw std::runtime_error("cannot write " + (dataDir / "convergence.dat").string());
    } catch (const std::exception& e) {
        outcome.warnings.push_back(e.what());
        return outcome;
    }

    const int width = 1500;
    const int height = 80 + 470 * rows;
    const std::filesystem::path png = folder / (stem + ".png");
    const std::filesystem::path svg = folder / (stem + ".svg");
    // The script names its files relative to its own folder, where gnuplot runs.
    const std::string body = buildBody(page, panels, rows, stem + "-data", positiveConvergence);
    std::ostringstream gp;
    gp << "# Drawn by calvenor; to redraw, run `gnuplot " << stem << ".gp` in this folder.\n"
       << "set encoding utf8\n"
       << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
       << "  set terminal pngcairo size " << width << "," << height
       << " enhanced font 'DejaVu Sans,11' background rgb 'white'\n"
       << "} else {\n"
       << "  set terminal png size " << width << "," << height << " enhanced font 'DejaVu Sans,11' background rgb 'white'\n"
       << "}\n"
       << "set output " << gpPath(png.filename()) << "\n"
       << body << "set output\n"
       << "set terminal svg size " << width << "," << height
       << " enhanced font 'DejaVu Sans,11' background rgb 'white'\n"
       << "set output " << gpPath(svg.filename()) << "\n"
       << body << "set output\n";
    const std::filesystem::path script = folder / (stem + ".gp");
    {
        std::ofstream out(script, std::ios::binary);
        out << gp.str();
        if (!out) {
            outcome.warnings.push_back("cannot write " + script.string());
            return outcome;
        }
    }
    const std::filesystem::path log = dataDir / "gnuplot.log";
    if (const std::string failure = runGnuplot(script, log); !failure.empty()) {
        outcome.warnings.push_back("plot not drawn: " + failure + " (data and script kept in " +
                                   folder.string() + ")");
        return outcome;
    }
    if (std::filesystem::file_size(log, ec) == 0) std::filesystem::remove(log, ec);
    for (const auto& file : {png, svg}) {
        if (std::filesystem::exists(file)) outcome.files.push_back(file);
        else outcome.warnings.push_back("gnuplot did not write " + file.string());
    }
    return outcome;
}

std::string gnuplotText(const std::string& plainText) { return gpText(plain(plainText)); }
std::string gnuplotPath(const std::filesystem::path& path) { return gpPath(path); }
std::string runGnuplotScript(const std::filesystem::path& script, const std::filesystem::path& log) {
    return runGnuplot(script, log);
}

}  // namespace calvenor
