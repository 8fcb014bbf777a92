// The calvenor command line. Subcommands register themselves on the app;
// runCalvenor is the whole program, testable in-process.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "io/numbers.hpp"

namespace calvenor::cli {

// Where a subcommand writes, and its exit status once it has run.
struct Context {
    std::ostream& out;
    std::ostream& err;
    int status = 0;
};

// A bad argument found after parsing: reported like a parse error (exit 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Checks that an option's value is a whole number from `low` to `high`; the
// message says so with the bounds in plain digits ("--population: expected a
// whole number from 5 to 1000000, found '3'").
CLI::Validator wholeNumber(std::int64_t low, std::int64_t high);

void addSimulateCommand(CLI::App& app, Context& ctx);
void addEvalCommand(CLI::App& app, Context& ctx);
void addCalibrateCommand(CLI::App& app, Context& ctx);
void addSynthCommand(CLI::App& app, Context& ctx);
void addPlotCommand(CLI::App& app, Context& ctx);
void addImportCommand(CLI::App& app, Context& ctx);
void addProfileCommand(CLI::App& app, Context& ctx);

// Runs the program with args (without the program name). Returns the exit status.
int runCalvenor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace calvenor::cli
