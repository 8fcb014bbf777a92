#include "report/profile_plot.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "io/numbers.hpp"

namespace calvenor {
namespace {

std::string number(double v) { return std::isfinite(v) ? shortest(v) : "NaN"; }

std::string body(const ProfilePage& page, int columns, int rows, const std::string& dataDir) {
    std::ostringstream gp;
    gp << "set multiplot layout " << rows << "," << columns << " title " << gnuplotText(page.title) << " font ',14'\n";
    for (std::size_t i = 0; i < page.panels.size(); ++i) {
        const ProfilePanel& panel = page.panels[i];
        double lo = panel.estimate, hi = panel.estimate, top = 0.0;
        for (const auto& [v, d] : panel.curve) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            if (std::isfinite(d)) top = std::max(top, d);
        }
        if (!(hi > lo)) {
            lo -= 0.5;
            hi += 0.5;
        }
        const double ceiling = std::max(2.0 * page.threshold, std::min(top * 1.05, 4.0 * page.threshold));
        gp << "reset\n"
              "set grid lc rgb '#dddddd'\n"
              "set border 3 lw 1.2\n"
              "set tics nomirror out\n"
              "set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'\n";
        const std::string interval = std::string(panel.openBelow ? "(" : "[") + rounded(panel.lower, 4) + ", " +
                                     rounded(panel.upper, 4) + (panel.openAbove ? ")" : "]");
        gp << "set title " << gnuplotText(panel.name + ": " + interval + ", " + panel.verdict) << " font ',11'\n";
        gp << "set xlabel " << gnuplotText(panel.name) << "\n";
        gp << "set ylabel 'drop of the log-likelihood'\n";
        gp << "set xrange [" << number(lo) << ":" << number(hi) << "]\n";
        gp << "set yrange [0:" << number(ceiling) << "]\n";
        for (const auto& [x, open] : {std::pair{panel.lower, panel.openBelow}, std::pair{panel.upper, panel.openAbove}}) {
            if (!open && std::isfinite(x)) {
                gp << "set arrow from " << number(x) << ", graph 0 to " << number(x)
                   << ", graph 1 nohead dt 3 lc rgb '#2ca02c'\n";
            }
        }
        std::vector<std::string> items;
        items.push_back(gnuplotPath(std::filesystem::path(dataDir) / ("profile" + std::to_string(i + 1) + ".dat")) +
                        " using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile'");
        if (std::isfinite(panel.standardError) && panel.standardError > 0.0) {
            items.push_back("(x - " + number(panel.estimate) + ")**2 / (2 * " + number(panel.standardError) +
                            "**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised'");
        }
        items.push_back(number(page.threshold) + " with lines lw 1.5 lc rgb '#d62728' title " +
                        gnuplotText("threshold " + rounded(page.threshold, 3) + " (" +
                                    rounded(page.level * 100.0, 4) + " %)"));
        gp << "plot ";
        for (std::size_t k = 0; k < items.size(); ++k) gp << (k ? ", \\\n     " : "") << items[k];
        gp << "\n";
    }
    gp << "unset multiplot\n";
    return gp.str();
}

}  // namespace

PlotOutcome drawProfilePage(const ProfilePage& page, const std::filesystem::path& folder, const std::string& stem) {
    PlotOutcome outcome;
    if (page.panels.empty()) {
        outcome.warnings.push_back("no profile to plot");
        return outcome;
    }
    const std::filesystem::path dataDir = folder / (stem + "-data");
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (ec) {
        outcome.warnings.push_back("cannot create " + dataDir.string() + ": " + ec.message());
        return outcome;
    }
    for (std::size_t i = 0; i < page.panels.size(); ++i) {
        const std::filesystem::path file = dataDir / ("profile" + std::to_string(i + 1) + ".dat");
        std::ofstream out(file, std::ios::binary);
        out << "# " << page.panels[i].name << "  drop of the log-likelihood\n";
        for (const auto& [v, d] : page.panels[i].curve) out << number(v) << ' ' << number(d) << '\n';
        if (!out) {
            outcome.warnings.push_back("cannot write " + file.string());
            return outcome;
        }
    }
    const int columns = page.panels.size() > 4 ? 3 : page.panels.size() > 1 ? 2 : 1;
    const int rows = static_cast<int>((page.panels.size() + static_cast<std::size_t>(columns) - 1) /
                                      static_cast<std::size_t>(columns));
    const int width = 520 * columns, height = 60 + 400 * rows;
    const std::filesystem::path png = folder / (stem + ".png"), svg = folder / (stem + ".svg");
    const std::string text = body(page, columns, rows, stem + "-data");
    std::ostringstream gp;
    gp << "# Drawn by calvenor; to redraw, run `gnuplot " << stem << ".gp` in this folder.\n"
       << "set encoding utf8\n"
       << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
       << "  set terminal pngcairo size " << width << "," << height
       << " enhanced font 'DejaVu Sans,10' background rgb 'white'\n"
       << "} else {\n"
       << "  set terminal png size " << width << "," << height << " enhanced font 'DejaVu Sans,10' background rgb 'white'\n"
       << "}\n"
       << "set output " << gnuplotPath(png.filename()) << "\n"
       << text << "set output\n"
       << "set terminal svg size " << width << "," << height << " enhanced font 'DejaVu Sans,10' background rgb 'white'\n"
       << "set output " << gnuplotPath(svg.filename()) << "\n"
       << text << "set output\n";
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
    if (const std::string failure = runGnuplotScript(script, log); !failure.empty()) {
        outcome.warnings.push_back("plot not drawn: " + failure + " (data and script kept in " + folder.string() + ")");
        return outcome;
    }
    if (std::filesystem::file_size(log, ec) == 0) std::filesystem::remove(log, ec);
    for (const auto& file : {png, svg}) {
        if (std::filesystem::exists(file)) outcome.files.push_back(file);
        else outcome.warnings.push_back("gnuplot did not write " + file.string());
    }
    return outcome;
}

}  // namespace calvenor
