// Runs the calvenor command line in-process and keeps what it printed.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/app.hpp"

namespace calvenor::testing {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

inline CliRun run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = cli::runCalvenor(args, out, err);
    return {status, out.str(), err.str()};
}

}  // namespace calvenor::testing
