// calvenor eval: calls of the objective in one module lifetime, as a host
// makes them.
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/app.hpp"
#include "cli/eval.hpp"
#include "objective/explain.hpp"
#include "io/files.hpp"
#include "io/numbers.hpp"
#include "report/plot.hpp"
#include "objective/objective.hpp"
#include "testdata/free_form.hpp"

namespace calvenor::cli {
namespace {

struct EvalOptions {
    std::string dir = ".";
    std::string switches = "0,0,0";
    std::string callsFile;
    unsigned threads = 0;
    std::string residualsFile;
    std::vector<double> parameters;
};

// Numbers as a user writes them: decimal, exponent, nan, inf.
bool parseDouble(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

std::vector<double> parseSwitches(const std::string& text) {
    std::vector<double> values;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        double v;
        if (!parseDouble(item, v)) {
            throw UsageError("--switches: expected three numbers separated by commas, found '" + text + "'");
        }
        values.push_back(v);
    }
    if (values.size() != 3) {
        throw UsageError("--switches: expected three numbers separated by commas, found '" + text + "'");
    }
    return values;
}

std::string joinDiagnostics(const Diagnostics& d) {
    std::string s = "diagnostics";
    for (double v : d.hostOrder()) {
        s += ' ';
        s += shortest(v);
    }
    return s;
}

// What a call noticed: the load's warnings, reports not written, and the
// test that stopped the evaluation (`call` names the call of a replay).
void printWarnings(const Evaluator& evaluator, std::ostream& err, const std::string& call = {}) {
    for (const auto& w : evaluator.warnings()) err << "calvenor: warning: " << w << "\n";
    if (evaluator.lastStop().stopped()) {
        err << "calvenor: warning: " << call << stopExplanation(evaluator.store(), evaluator.lastStop())
            << "; the error value is inf\n";
    }
}

// The normalised residuals of the evaluation just made, as CSV: test (its
// data file's name without extension), row (of its measured rows, from 1), quantity, value.
void writeResiduals(const Evaluator& evaluator, const std::string& file, Context& ctx) {
    const TestStore& store = evaluator.store();
    if (evaluator.lastStop().stopped()) {
        ctx.err << "calvenor: --residuals: the evaluation stopped at "
                << store.testFile[static_cast<std::size_t>(evaluator.lastStop().test)] << "; no residuals written\n";
        ctx.status = 1;
        return;
    }
    std::string text = "test,row,quantity,value\n";
    for (const Residual& r : evaluator.residuals()) {
        text += testDisplayName(store.testFile[static_cast<std::size_t>(r.test)]) + "," + std::to_string(r.row + 1) + "," +
                std::string(quantityName[static_cast<std::size_t>(r.quantity)]) + "," + shortest(r.value) + "\n";
    }
    try {
        writeFile(file, text);
    } catch (const FileError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
    }
}

void runEval(const EvalOptions& o, Context& ctx) {
    Evaluator evaluator{std::filesystem::path(o.dir)};
    if (o.threads != 0) evaluator.setThreads(o.threads);
    if (!o.callsFile.empty()) {
        if (!o.parameters.empty()) throw UsageError("--calls: give either a calls file or nine parameters");
        if (!o.residualsFile.empty()) throw UsageError("--residuals: only with nine parameters, not with --calls");
        std::ifstream in(o.callsFile, std::ios::binary);
        if (!in) throw UsageError("--calls: cannot open '" + o.callsFile + "'");
        const std::vector<Call> calls = readCalls(in, o.callsFile);
        runCalls(evaluator, calls, ctx.out, ctx.err);
        return;
    }
    if (o.parameters.size() != 9) {
        throw UsageError("parameters: expected nine numbers (propm enu pkappa plamda pnvoid cohesion z chi sm), found " +
                         std::to_string(o.parameters.size()));
    }
    const std::vector<double> switches = parseSwitches(o.switches);
    try {
        const double error = evaluateObjective(evaluator, o.parameters, switches);
        printWarnings(evaluator, ctx.err);
        ctx.out << "error " << shortest(error) << "\n" << joinDiagnostics(evaluator.diagnostics()) << "\n";
        if (!o.residualsFile.empty()) writeResiduals(evaluator, o.residualsFile, ctx);
    } catch (const LoadError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
    }
}

}  // namespace

std::vector<Call> readCalls(std::istream& in, const std::string& name) {
    std::vector<Call> calls;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        // Values separated by blanks, tabs or one comma, as in the data
        // files; '#' starts a comment.
        const std::string_view text = std::string_view(line).substr(0, line.find('#'));
        std::vector<double> values;
        const auto fail = [&](const std::string& found) {
            throw UsageError(name + ":" + std::to_string(lineNumber) + ": expected a number, found " + found);
        };
        std::size_t at = 0;
        bool comma = true;  // at the start, a comma gives an empty value
        while (at < text.size()) {
            const char c = text[at];
            if (c == ' ' || c == '\t' || c == '\r') {
                ++at;
            } else if (c == ',') {
                if (comma) fail("an empty value");
                comma = true;
                ++at;
            } else {
                const std::size_t end = text.find_first_of(" \t\r,", at);
                const std::string_view item = text.substr(at, end == std::string_view::npos ? end : end - at);
                const std::optional<double> v = freeform::parseReal(item);
                if (!v) fail(freeform::quoteForMessage(item));
                values.push_back(*v);
                comma = false;
                at += item.size();
            }
        }
        if (values.empty()) continue;
        if (values.size() != 12) {
            throw UsageError(name + ":" + std::to_string(lineNumber) +
                             ": expected 12 numbers (9 parameters, 3 switches), found " +
                             std::to_string(values.size()));
        }
        Call call;
        std::copy(values.begin(), values.begin() + 9, call.parameters.begin());
        std::copy(values.begin() + 9, values.end(), call.switches.begin());
        calls.push_back(call);
    }
    return calls;
}

void runCalls(Evaluator& evaluator, const std::vector<Call>& calls, std::ostream& out, std::ostream& err) {
    int k = 0;
    for (const Call& call : calls) {
        ++k;
        try {
            const double error = evaluateObjective(evaluator, call.parameters, call.switches);
            printWarnings(evaluator, err, "call " + std::to_string(k) + ": ");
            out << "call " << k << " error " << shortest(error) << " "
                << joinDiagnostics(evaluator.diagnostics()) << "\n";
        } catch (const LoadError& e) {
            out << "call " << k << " failed " << e.what() << "\n";
        }
    }
}

void addEvalCommand(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<EvalOptions>();
    CLI::App* sub = app.add_subcommand(
        "eval",
        "Evaluate the objective for parameter sets, as the host module does: the tests listed in "
        "DIR/vornevResult/evReadInList.txt (or evReadInListZong.txt on a reload) are simulated and "
        "scored. Prints the error value and the 11 diagnostics (ps, z-pnvoid, 1.5*pkappa-plamda, "
        "plamda-15*pkappa, ps-20000, 0-ps, plamda/pkappa, then the q, p, ev and u misfit measures "
        "in percent).");
    sub->add_option("--dir", o->dir, "folder that holds vornevResult/ (the host's current folder)")
        ->capture_default_str();
    sub->add_option("--switches", o->switches,
                    "S1,S2,S3: S1 nonzero applies the constraint penalties, S2 nonzero writes the "
                    "reports into DIR/vornevResult, S3 nonzero reloads the full list")
        ->capture_default_str();
    sub->add_option("--calls", o->callsFile,
                    "file of calls, one per line: the nine parameters then the three switches (nan "
                    "allowed), separated by blanks or commas, '#' starting a comment; the calls share the "
                    "loaded tests as consecutive host calls do");
    sub->add_option("--threads", o->threads,
                    "threads that simulate the tests of a call (default: CALVENOR_THREADS, else every core)")
        ->check(wholeNumber(1, 1024));
    sub->add_option("--residuals", o->residualsFile,
                    "write the normalised residuals of the evaluation, (simulated - measured) / scale of every "
                    "scored row and quantity exactly as the measures use them, to this CSV file: test,row,quantity,"
                    "value (row of the test's measured rows from 1; quantity q, p, ev or u)");
    sub->add_option("parameters", o->parameters,
                    "the nine parameters: propm enu pkappa plamda pnvoid cohesion (kPa) z chi sm");
    sub->callback([o, &ctx] { runEval(*o, ctx); });
}

}  // namespace calvenor::cli
