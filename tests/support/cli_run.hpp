// Runs the calvenor program and keeps what it printed.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace calvenor::testing {

struct CliRun {
    int status;  // exit status; 128 + N when killed by signal N
    std::string out;
    std::string err;
};

// Runs build/calvenor with `args`, optionally in folder `cwd`, with
// `environment` entries ("NAME=value") added to the test's own.
CliRun run(const std::vector<std::string>& args, const std::string& cwd = {},
           const std::vector<std::string>& environment = {});

// The same, calling whileRunning(pid) once the program has started (it may
// signal the program, then returns; the run is then waited for).
CliRun run(const std::vector<std::string>& args, const std::string& cwd,
           const std::vector<std::string>& environment, const std::function<void(int pid)>& whileRunning);

}  // namespace calvenor::testing
