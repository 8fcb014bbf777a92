// calvenor plot: measured against simulated curves of any test list for any
// parameter set, for checking a calibration on tests it has not seen.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "calibration/calibration.hpp"
#include "calibration/calibration_error.hpp"
#include "calibration/parameter_table.hpp"
#include "cli/app.hpp"
#include "cli/calibrate_config.hpp"
#include "io/files.hpp"
#include "io/numbers.hpp"
#include "objective/objective.hpp"
#include "report/plot.hpp"
#include "testdata/test_store.hpp"

namespace calvenor::cli {
namespace {

namespace fs = std::filesystem;

struct PlotOptions {
    std::string dir = ".";
    std::string list;
    std::string from;
    std::vector<double> parameters;
    std::string out;
    std::string stem = "plot";
    std::string title;
    std::string groupBy = "type";
};

void runPlot(const PlotOptions& o, Context& ctx) {
    if (o.from.empty() == o.parameters.empty())
        throw UsageError("give the parameters either as nine values or with --from CALIBRATION.json");
    ModelParameters parameters{};
    std::string source;
    if (!o.from.empty()) {
        try {
            parameters = readCalibrationRecord(readTextFile(o.from), o.from).parameters;
        } catch (const CalibrationError& e) {
            throw UsageError(std::string("--from: ") + e.what());
        }
        source = "parameters of " + o.from;
    } else {
        if (o.parameters.size() != parameterCount)
            throw UsageError("parameters: expected nine numbers (" + parameterNameList() + "), found " +
                             std::to_string(o.parameters.size()));
        parameters = readParameters(o.parameters);
        source = "the parameters given";
    }
    const std::string listName = o.list.empty() ? std::string(workingListName) : o.list;
    std::unique_ptr<Evaluator> evaluator;
    try {
        std::vector<std::string> warnings;
        evaluator = std::make_unique<Evaluator>(readTestList(o.dir, listName, &warnings));
        for (const auto& w : warnings) ctx.err << "calvenor: warning: " << w << "\n";
    } catch (const LoadError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }
    const double error = evaluator->evaluate(parameters, {});
    const TestStore& store = evaluator->store();

    const fs::path outDir = o.out.empty() ? fs::path(o.dir) / "calvenor-plot" : fs::path(o.out);
    try {
        createFolder(outDir);
    } catch (const FileError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }
    PlotPage page;
    page.title = o.title.empty() ? displayName(o.dir, listName) + ": error value " + rounded(error, 5) +
                                       " (no penalties)\n" + source + "; points: measured, lines: simulated"
                                 : o.title;
    page.tests = plotTests(store, parameters);
    page.grouping = *findPlotGrouping(o.groupBy);
    page.summaryTitle = "Parameters";
    for (int i = 0; i < parameterCount; ++i) {
        std::string line(parameterNames[static_cast<std::size_t>(i)]);
        line.resize(10, ' ');
        page.summary.push_back(line + rounded(parameterAt(parameters, i), 6));
    }
    page.summary.push_back("");
    page.summary.push_back("error value   " + rounded(error, 6));
    const PlotOutcome plots = drawPlotPage(page, outDir, o.stem);
    for (const auto& w : plots.warnings) ctx.err << "calvenor: warning: " << w << "\n";
    ctx.out << "error value " << shortest(error) << " (no penalties) over " << store.nTests << " test"
            << (store.nTests == 1 ? "" : "s") << " of " << displayName(o.dir, listName) << "\n";
    for (const auto& f : plots.files) ctx.out << "plot: " << f.string() << "\n";
    if (plots.files.empty()) ctx.status = 1;
}

}  // namespace

void addPlotCommand(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<PlotOptions>();
    CLI::App* sub = app.add_subcommand(
        "plot",
        "Draw the measured curves of a test list against the curves the model simulates with a parameter "
        "set, for instance to check a calibration on tests it was not fitted to: OUT/STEM.png and .svg (further "
        "pages STEM-2.png, ...), with the data and the gnuplot script beside them. Prints the error value of the set on those tests "
        "(no penalties).");
    sub->add_option("--dir", o->dir, "folder the list's names are relative to (the host's current folder)")
        ->capture_default_str();
    sub->add_option("--list", o->list,
                    "the test list, relative to DIR (default .\\vornevResult\\evReadInList.txt; the full list is "
                    ".\\vornevResult\\evReadInListZong.txt)");
    sub->add_option("--from", o->from, "take the parameters from a calibration.json written by calvenor calibrate")
        ->check(CLI::ExistingFile);
    sub->add_option("--out", o->out, "folder for the pictures (default DIR/calvenor-plot)");
    sub->add_option("--stem", o->stem, "name of the pictures without extension")->capture_default_str();
    sub->add_option("--title", o->title, "title of the page");
    std::string groupings;
    std::vector<std::string> names;
    for (const PlotGroupingName& g : plotGroupings) {
        groupings += std::string(groupings.empty() ? "" : "; ") + std::string(g.name) + ": " + std::string(g.description);
        names.emplace_back(g.name);
    }
    sub->add_option("--group-by", o->groupBy,
                    "which tests share a panel (" + groupings + "). Up to six tests share a panel, their key beside "
                    "it; a larger group is drawn as small multiples, one small panel per test, over as many pages "
                    "as needed (STEM.png, STEM-2.png, ...)")
        ->check(CLI::IsMember(names))
        ->capture_default_str();
    sub->add_option("parameters", o->parameters,
                    "the nine parameters: propm enu pkappa plamda pnvoid cohesion (kPa) z chi sm");
    sub->callback([o, &ctx] { runPlot(*o, ctx); });
}

}  // namespace calvenor::cli
